// zorvsdk.acquisition: acquisition channels, registration of data callables by readout mode, and
// the data deliveries handed to them as NumPy arrays over the SDK's buffers.
#include "core/arrays.hpp"
#include "core/component.hpp"
#include "core/deliveries.hpp"
#include "core/gil.hpp"
#include "core/sink_api.hpp"
#include "core/numpy.hpp"
#include "core/wait.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "zorv/acquisition.h"
#include "zorv/acquisition_metadata.h"
#include "zorv/acquisition_tpx.h"
#include "zorv/acquisition_tpx3.h"

using namespace zorv;

namespace {

PyTypeObject* g_chip_type;

// The metadata dictionaries and their "tdcs" lists kept for later deliveries, as the arrays are
// (core/arrays.hpp): untracked by the garbage collector while kept.
struct KeptMeta {
    PyObject* dict;
    PyObject* list;  // also referred to by the package
};

struct KeptMetas {
    static constexpr int kCapacity = 4;
    KeptMeta meta[kCapacity];
    int n = 0;
} g_kept;

// ---- data deliveries ----
//
// A delivery is asked of the SDK without the interpreter lock: each kind's fetch function fills a
// DeliveredData (the counts and buffers of its arrays, and the metadata of the data-driven kinds).
// A native sink gets it as it is, still without the lock; a callable gets it as arrays, under the
// lock. A failure of the delivery (a getter of the SDK, an array that cannot be made, the callable
// raising) ends that delivery alone: the first of a registration is reported through
// sys.unraisablehook, later ones are counted.

Name s_shutterStart("shutterStart"), s_tdcs("tdcs");

// Interpreter entries made by deliveries (with the lock held): shows that a sink needs none.
unsigned long long g_entries = 0;

PyObject* describe(const Registration& reg) {
    return PyUnicode_FromFormat("the data callable of channel '%s' (%sreadout mode %s)", reg.channel.c_str(),
                                reg.raw ? "raw data, " : "", reg.mode.c_str());
}

// Reports the exception set (lock held) as a failed delivery of `reg`, and clears it.
void report_failure(Registration& reg) {
    if (reg.failures++ > 0) {
        PyErr_Clear();
        return;
    }
    Ref text;
    const char* message = "in a data delivery";
    {
        ErrorScope failure;  // set back before it is reported
        Ref what = Ref::steal(describe(reg));
        if (what)
            text = Ref::steal(PyUnicode_FromFormat(
                "in %U (later failures of this registration are counted, not reported)", what.get()));
        if (const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr) message = utf8;
        PyErr_Clear();
    }
    compat::write_unraisable(message, reg.func.get());
}

// Warns, once per registration, that an array of a delivery outlived it.
void warn_kept(Registration& reg) {
    if (reg.warned) return;
    reg.warned = true;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "an array delivered for readout mode %s outlived its delivery: it views a buffer that "
                         "the SDK reuses for later deliveries; copy what you keep (array.copy())",
                         reg.mode.c_str()) < 0)
        compat::write_unraisable("while warning of an array kept beyond its delivery", reg.func.get());
}

class Delivery {
public:
    Delivery(zorv_acq_t* acq, Registration* reg) : acq_(acq), reg_(reg) {}

    // One SDK call of the delivery. False when its status maps to an exception: the delivery ends.
    template <class... P, class... A>
    bool ask(int (*fn)(zorv_acq_t*, P...), A... args) {
        int status = fn(acq_, args...);
        return status >= 0 || !failed(status);
    }

    bool ask_metadata(DeliveredData& d) {
        if (!ask(zorv_acq_meta_get_shutter_rising_time_ticks, &d.shutter)) return false;
        for (int tdc = 0; tdc < kTdcInputs; ++tdc) {
            uint64_t count = 0;
            const uint64_t* toas = nullptr;
            if (!ask(zorv_acq_meta_get_tdc_toas_count, tdc, &count) || !ask(zorv_acq_meta_get_tdc_toas, tdc, &toas))
                return false;
            d.tdcs[tdc] = {toas, count};
        }
        return true;
    }

    // Hands the delivery to the sink, or to the callable as arrays.
    void hand_over(const DeliveredData& d) {
        if (!reg_ || reg_->released.load()) return;
        if (reg_->sink) {
            reg_->sink->deliver(reg_->func.get(), &d);
            return;
        }
        Gil gil;
        if (!gil.ok()) return;
        ++g_entries;
        Ref func = Ref::borrow(reg_->func.get());  // the callable may drop its registration
        if (!func) return;
        Built built;
        bool ok = true;
        const KindInfo& kind = info(d.kind);
        for (int i = 0; i < kind.arrays && ok; ++i)
            ok = built.add(view(d.kind, i, d.arrays[i].count, d.arrays[i].data));
        if (ok && kind.metadata) ok = built.metadata(d);
        if (ok) {
            PyObject* result =
                PyObject_Vectorcall(func.get(), built.argv(), built.n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            ok = result != nullptr;
            Py_XDECREF(result);
        }
        if (!ok) report_failure(*reg_);  // first, so that a traceback's frames let go of the arrays
        built.release(*reg_);
    }

private:
    // What one delivery builds. Slot 0 of `slots` is left free for the callee
    // (PY_VECTORCALL_ARGUMENTS_OFFSET: a bound method puts its instance there without copying).
    struct Built {
        PyObject* slots[1 + kMaxArrays + 1] = {};
        size_t n = 0;
        PyObject* dict = nullptr;  // the metadata, the last argument
        PyObject* list = nullptr;  // metadata["tdcs"], and its arrays, referred to by the delivery too
        PyObject* toas[kTdcInputs] = {};

        PyObject** argv() { return slots + 1; }
        bool add(PyObject* o) {
            if (!o) return false;
            argv()[n++] = o;
            return true;
        }

        bool metadata(const DeliveredData& d) {
            for (int i = 0; i < kTdcInputs; ++i)
                if (!(toas[i] = stamps_view(d.tdcs[i].count, d.tdcs[i].data))) return false;
            Ref shutter = Ref::steal(PyLong_FromUnsignedLongLong(d.shutter));
            if (!shutter) return false;
            if (g_kept.n) {  // {"shutterStart": ..., "tdcs": [None, None, None]}, untracked
                const KeptMeta& k = g_kept.meta[--g_kept.n];
                dict = k.dict;
                list = k.list;
                argv()[n++] = dict;
                for (Py_ssize_t i = 0; i < kTdcInputs; ++i) {
                    PyList_SET_ITEM(list, i, Py_NewRef(toas[i]));
                    Py_DECREF(Py_None);
                }
                PyObject_GC_Track(list);
                PyObject_GC_Track(dict);
                return PyDict_SetItem(dict, s_shutterStart, shutter.get()) == 0;
            }
            if (!(list = PyList_New(kTdcInputs))) return false;
            for (Py_ssize_t i = 0; i < kTdcInputs; ++i) PyList_SET_ITEM(list, i, Py_NewRef(toas[i]));
            if (!(dict = PyDict_New())) return false;
            argv()[n++] = dict;
            return PyDict_SetItem(dict, s_shutterStart, shutter.get()) == 0 && PyDict_SetItem(dict, s_tdcs, list) == 0;
        }

        // The dictionary and the list are made new again for a later delivery when nobody kept
        // them or changed what they are: exactly the two keys in their order, "tdcs" still the
        // delivery's list of three places (its values are replaced when it is used again).
        bool metadata_unshared() const {
            if (Py_REFCNT(dict) != 1 || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 2 ||
                Py_REFCNT(list) != 2 || PyList_GET_SIZE(list) != kTdcInputs || g_kept.n >= KeptMetas::kCapacity)
                return false;
            Py_ssize_t pos = 0;
            PyObject *key0, *value0, *key1, *value1;
            return PyDict_Next(dict, &pos, &key0, &value0) && PyDict_Next(dict, &pos, &key1, &value1) &&
                   key0 == s_shutterStart.get() && key1 == s_tdcs.get() && value1 == list;
        }

        // The dictionary and the list go first, so that only what the callable kept still refers
        // to the arrays when they are given back.
        void release(Registration& reg) {
            if (dict && list && metadata_unshared()) {
                PyObject_GC_UnTrack(dict);
                PyObject_GC_UnTrack(list);
                for (Py_ssize_t i = 0; i < kTdcInputs; ++i) {
                    PyObject* item = PyList_GET_ITEM(list, i);
                    PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
                    Py_DECREF(item);
                }
                g_kept.meta[g_kept.n++] = {dict, list};
            } else {
                Py_XDECREF(dict);
                Py_XDECREF(list);
            }
            bool outlived = false;
            for (size_t i = 0; i < n; ++i)
                if (argv()[i] != dict) outlived |= viewed(argv()[i]);
            for (PyObject* a : toas)
                if (a) outlived |= viewed(a);
            if (outlived) warn_kept(reg);
            for (size_t i = 0; i < n; ++i)
                if (argv()[i] != dict) give_back(argv()[i]);
            for (PyObject* a : toas)
                if (a) give_back(a);
        }
    };

    bool failed(int status) {
        Gil gil;
        if (!gil.ok()) return true;
        ++g_entries;
        const char* text = "";
        zorv_acq_get_last_error(acq_, &text);
        if (!throw_status(status, text)) return false;
        if (reg_) report_failure(*reg_);
        else PyErr_Clear();
        return true;
    }

    zorv_acq_t* acq_;
    Registration* reg_;
};

// What each kind asks of the SDK: each array's count and buffer from its source
// (readout/modes.hpp), in the order of the arrays, then the metadata of a kind that has it. Counts
// are preset to 0 and pointers to null, so that a failure the SDK reports without a mapped status
// never leaves an undefined count or pointer to be wrapped.

using readout::Source;

// The place of a kind's first vector, which asks for the one length of its vectors; -1: none.
constexpr int first_vector(const KindInfo& k) {
    for (int i = 0; i < k.arrays; ++i)
        if (readout::is_vector(k.sources[i])) return i;
    return -1;
}

// A buffer getter's pointer, handed over as the getter takes its address (void*, or T**).
template <class P>
using Pointer = std::conditional_t<std::is_same_v<P, void*>, void*, std::remove_pointer_t<P>>;

template <class P, int (*Buffer)(zorv_acq_t*, P)>
bool buffer(Delivery& d, const void*& out) {
    Pointer<P> data = nullptr;
    if (!d.ask(Buffer, static_cast<P>(&data))) return false;
    out = data;
    return true;
}

template <int (*Count)(zorv_acq_t*, unsigned long long*), class P, int (*Buffer)(zorv_acq_t*, P)>
bool counted(Delivery& d, DeliveredArray& out) {
    return d.ask(Count, &out.count) && buffer<P, Buffer>(d, out.data);
}

template <int (*Buffer)(zorv_acq_t*, void*), bool First>
bool vector(Delivery& d, DeliveredArray& out, unsigned long long& length) {
    if (First && !d.ask(zorv_acq_tpx3_get_vec_length, &length)) return false;
    out.count = length;
    return buffer<void*, Buffer>(d, out.data);
}

// The array of source S; `length` is the vectors' length, which the First of them asks for.
template <Source S, bool First>
bool fetch(Delivery& d, DeliveredArray& out, unsigned long long& length) {
    if constexpr (S == Source::Packets)
        return counted<zorv_acq_tpx3_get_packet_count, void*, zorv_acq_tpx3_get_packets>(d, out);
    else if constexpr (S == Source::Addresses)
        return vector<zorv_acq_tpx3_get_pixel_address_vec, First>(d, out, length);
    else if constexpr (S == Source::Toas)
        return vector<zorv_acq_tpx3_get_toa_vec, First>(d, out, length);
    else if constexpr (S == Source::Tots)
        return vector<zorv_acq_tpx3_get_tot_vec, First>(d, out, length);
    else if constexpr (S == Source::Events)
        return vector<zorv_acq_tpx3_get_event_vec, First>(d, out, length);
    else if constexpr (S == Source::Itots)
        return vector<zorv_acq_tpx3_get_itot_vec, First>(d, out, length);
    else if constexpr (S == Source::BinDescriptors)
        return counted<zorv_acq_meta_get_bin_descriptor_count, void*, zorv_acq_meta_get_bin_descriptors>(d, out);
    else if constexpr (S == Source::BinnedHits)
        return counted<zorv_acq_tpx3_get_binned_hitcounters_count, uint64_t**, zorv_acq_tpx3_get_binned_hitcounters>(
            d, out);
    else if constexpr (S == Source::BinnedItots)
        return counted<zorv_acq_tpx3_get_binned_itots_count, uint64_t**, zorv_acq_tpx3_get_binned_itots>(d, out);
    else if constexpr (S == Source::Frames) {
        // The frames of a delivery make one flat array of their values.
        if (!counted<zorv_acq_tpx_get_frame_count, void*, zorv_acq_tpx_get_frames>(d, out)) return false;
        constexpr unsigned long long most = ~0ULL / readout::kFrameValues;
        out.count = out.count > most ? ~0ULL : out.count * readout::kFrameValues;  // beyond any address space: refused
        return true;
    } else {
        static_assert(S == Source::Raw);
        void* data = nullptr;
        if (!d.ask(zorv_acq_raw_get_data, static_cast<void*>(&data), &out.count)) return false;
        out.data = data;
        return true;
    }
}

template <DeliveryKind Kind, size_t... I>
bool fetch_kind(Delivery& d, DeliveredData& out, std::index_sequence<I...>) {
    constexpr const KindInfo& k = info(Kind);
    unsigned long long length = 0;
    return (fetch<k.sources[I], int(I) == first_vector(k)>(d, out.arrays[I], length) && ...) &&
           (!k.metadata || d.ask_metadata(out));
}

// The C callback of one kind: the user pointer is the Registration.
// A delivery in progress keeps its registration's callable: the last one to leave a registration
// released meanwhile lets go of it.
template <DeliveryKind Kind>
void deliver(zorv_acq_t* acq, void* user) noexcept {
    auto* reg = static_cast<Registration*>(user);
    if (reg) reg->inflight.fetch_add(1);
    DeliveredData data{};
    data.kind = Kind;
    Delivery d(acq, reg);
    if (fetch_kind<Kind>(d, data, std::make_index_sequence<size_t(info(Kind).arrays)>{})) d.hand_over(data);
    if (reg && reg->inflight.fetch_sub(1) == 1 && reg->released.load()) {
        Gil gil;
        if (gil.ok()) reg->func.reset();
    }
}

// The data callback of each kind, by its place in the table.
constexpr auto kCallbacks = []<size_t... K>(std::index_sequence<K...>) {
    return std::array<zorv_acq_data_func, sizeof...(K)>{deliver<DeliveryKind(K)>...};
}(std::make_index_sequence<size_t(readout::kKindCount)>{});

// ---- the acquisition object ----

using readout::kRawKey;

AcquisitionObject* acq_of(PyObject* self) { return reinterpret_cast<AcquisitionObject*>(self); }

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("__cinit__", {"ctx", "chip"});
    PyObject* a[2];
    if (!params.parse_tuple(args, kwds, a) || !check_context(a[0]) || !check_instance(a[1], g_chip_type)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = acq_of(self);
    o->context = Py_NewRef(a[0]);
    o->chip = Py_NewRef(a[1]);
    o->data_func_ref = nullptr;
    try {
        o->modeToCallback = new ModeTable;
        for (const readout::Mode& mode : readout::kModes) o->modeToCallback->emplace(mode.id, kCallbacks[int(mode.kind)]);
        o->registrations = new Registrations;
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

// The device of the object's context is known to be closed: the SDK delivers to none of its
// registrations any more.
// Once the interpreter exits the SDK is not asked (a close may still be waiting for a callable
// that never returns): the registrations are left to the process.
bool closed(AcquisitionObject* o) {
    return !exiting() && PyObject_TypeCheck(o->context, imported().context_type) &&
           known_closed(reinterpret_cast<ContextObject*>(o->context)->c_zorvCtx);
}

// The registered callables are visible to the collector, so that a Device whose callable refers
// back to it can be collected; they are released only once the device is closed (the Device's
// finalizer closes it first). Registrations the SDK may still deliver to stay allocated for the
// life of the process.
using Held = Members<AcquisitionObject, &AcquisitionObject::context, &AcquisitionObject::chip>;
using Slots = GcSlots<Held>;

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* o = acq_of(self);
    if (o->registrations)
        for (const auto& reg : o->registrations->all) Py_VISIT(reg->func.get());
    return Slots::traverse(self, visit, arg);
}

int acquisition_clear(PyObject* self) {
    auto* o = acq_of(self);
    if (o->registrations && !o->registrations->all.empty() && closed(o)) release_registrations(o);
    return Slots::clear(self);
}

void acquisition_dealloc(PyObject* self) {
    auto* o = acq_of(self);
    PyObject_GC_UnTrack(self);
    if (o->registrations && (o->registrations->all.empty() || closed(o))) {
        release_registrations(o);
        delete std::exchange(o->registrations, nullptr);
    }
    delete std::exchange(o->modeToCallback, nullptr);
    Slots::dealloc(self);
}

Methods methods;

ZORV_SDK_METHOD(methods, getChannelIds, (id_list_body<"_Acquisition__getChannelCount", "_Acquisition__getChannelId">),
                {}, R"(
        Retrieves identifiers of acquisition channels.

        Args:
            None

        Returns:
            A list of str objects representing identifiers of acquistion channels.
        )");

ZORV_SDK_METHOD_AS(methods, "_Acquisition__getChannelCount", getChannelCount, (count_body<zorv_acq_ch_count>), {}, "");

ZORV_SDK_METHOD_AS(methods, "_Acquisition__getChannelId", getChannelId, (id_body<zorv_acq_ch_id>), {"channelIdx"}, "");

Name s_time("time"), s_sleep("sleep"), s_getModeIds("getModeIds"), s_setDataCallback("_Acquisition__setDataCallback");

// The chip's selected mode, decoded.
Ref selected_mode(PyObject* chip) {
    const char* selected = reinterpret_cast<ChipObject*>(chip)->mode;
    return Ref::steal(PyUnicode_DecodeUTF8(selected, Py_ssize_t(strnlen(selected, kModeCapacity)), nullptr));
}

Registration* latest(AcquisitionObject* o, const TextArg& channel) {
    if (!o->registrations) return nullptr;
    auto found = o->registrations->latest.find(std::string(channel.c_str(), size_t(channel.size())));
    return found == o->registrations->latest.end() ? nullptr : found->second;
}

// A processed registration decodes every delivery by the layout of the mode it was made for: a
// channel whose chip has since been switched to a mode of another layout is refused, before the
// SDK is asked to deliver.
bool check_layout(AcquisitionObject* o, const Registration* reg) {
    if (!reg || reg->raw || !PyObject_TypeCheck(o->chip, g_chip_type)) return true;
    const char* selected = reinterpret_cast<ChipObject*>(o->chip)->mode;
    std::string mode(selected, strnlen(selected, kModeCapacity));
    auto found = o->modeToCallback->find(mode);
    if (found != o->modeToCallback->end() && found->second == reg->callback) return true;
    PyErr_Format(exception(Exc::InvalidOperation),
                 "the data callable of channel '%s' was registered for readout mode %s, but the selected "
                 "readout mode is now %s: register it again with setDataCallback before beginning",
                 reg->channel.c_str(), reg->mode.c_str(), mode.empty() ? "(none)" : mode.c_str());
    return false;
}

// A failure of begin, abort or end waits 100 ms (time.sleep(0.1), with the module's `time` looked up
// now) before its last error is read and raised. False with the exception of the wait.
bool pause() {
    Ref time = Ref::steal(global(s_time));
    if (!time) return false;
    Ref delay = Ref::steal(PyFloat_FromDouble(0.1));
    if (!delay) return false;
    return bool(Ref::steal(PyObject_CallMethodOneArg(time.get(), s_sleep, delay.get())));
}

// The registration is checked against the selected mode and the SDK begins with the device's mode
// lock held: no mode selection comes between them.
PyObject* begin_(PyObject* self, const Utf8Text& channel) {
    zorv_ctx_t* ctx = handle_of(self);
    ModeHold hold;
    if (!ctx || !hold.take(self)) return nullptr;
    Registration* reg = latest(acq_of(self), channel);
    if (!check_layout(acq_of(self), reg)) return nullptr;
    int status = sdk_call(ctx, zorv_acq_begin, channel.c_str());
    hold.release();
    if (status < 0) {
        if (!pause() || !check_failure(ctx, status)) return nullptr;
        Py_RETURN_NONE;
    }
    set_running(reg, true);
    set_fed(reg, true);
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "begin", begin_, {"channelId"}, R"(
        Begins asynchronous acquisition.

        Args:
            channelId (str): Acquisition channel identifier.

        Returns:
            None
        )");

// end and abort wait for the acquisition (or its delivery in progress) to stop, answering Ctrl-C.
// An interrupted end asks the SDK to abort and waits on until the acquisition has stopped, so
// that the device is usable at once; a second interrupt stops the waiting.
template <int (*Fn)(zorv_ctx_t*, const char*), bool AbortOnInterrupt>
PyObject* stop(PyObject* self, const Utf8Text& channel) {
    AcquisitionObject* o = acq_of(self);
    zorv_ctx_t* ctx = handle_of(self);
    if (!ctx) return nullptr;
    std::string name(channel.c_str());
    BlockingCall c{o->context, ctx, [=] { return Fn(ctx, name.c_str()); }};
    c.before_error = pause;
    if (AbortOnInterrupt)
        c.on_interrupt = [=] {
            return call_detached(o->context, ctx, [=] { return zorv_acq_abort(ctx, name.c_str()); });
        };
    const bool was_running = o->registrations && channel_running(*o->registrations, name);
    CallResult result;
    bool returned = call_blocking(std::move(c), result);
    // Its registrations are told in any case; those replaced go once the SDK is done with them: the
    // stop returned cleanly, or nothing ran that it could have left running.
    stop_channel(o, &name, !was_running || (returned && result.status >= 0));
    if (!returned || !result.check()) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto abort_ = stop<zorv_acq_abort, false>;
ZORV_METHOD_AS(methods, "abort", abort_, {"channelId"}, R"(
        Aborts acquisition.

        Args:
            channelId (str): Acquisition channel identifier.

        Returns:
            None
        )");

constexpr auto end_ = stop<zorv_acq_end, true>;
ZORV_METHOD_AS(methods, "end", end_, {"channelId"}, R"(
        Blocks until the asynchronous acquisition started by :func:`~begin` is finished.

        Args:
            channelId (str): Acquisition channel identifier.

        Returns:
            None
        )");

PyObject* not_supported(PyObject* mode) {
    PyErr_Format(exception(Exc::InvalidOperation), "%U is not supported!", mode);
    return nullptr;
}

// An object that cannot be called (a native sink can) would fail every delivery: it is refused
// before anything else, so that the channel keeps its registration. The holder of a callable is
// made before the channel is converted.
PyObject* setDataCallbackImpl(PyObject* self, PyObject* channelId, PyObject* func, PyObject* raw) {
    AcquisitionObject* o = acq_of(self);
    if (!PyCallable_Check(func))
        return PyErr_Format(PyExc_TypeError, "the data callable must be callable, not %.200s", Py_TYPE(func)->tp_name);
    if (!o->registrations) return raise(Exc::InvalidOperation, "this acquisition object holds no registrations");
    // A registration stays allocated for as long as the SDK may deliver to it (layouts.hpp).
    Registration* reg;
    try {
        o->registrations->all.push_back(std::make_unique<Registration>(func));
        reg = o->registrations->all.back().get();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    o->data_func_ref = &reg->func;
    TextArg channel;
    if (!channel.encode_utf8(channelId)) return nullptr;
    if (!PyObject_TypeCheck(o->chip, g_chip_type))
        return raise(Exc::InvalidOperation, "this acquisition object has no chip object to read the readout mode from");
    Ref chip = Ref::borrow(o->chip);  // a callable could clear the object meanwhile
    ModeHold hold;  // the mode read is the mode the SDK delivers in until the registration is made
    if (!hold.take(self)) return nullptr;
    Ref mode = selected_mode(chip.get());
    if (!mode) return nullptr;
    Ref available = Ref::steal(PyObject_CallMethodNoArgs(chip.get(), s_getModeIds));
    if (!available) return nullptr;
    int listed = PySequence_Contains(available.get(), mode.get());
    if (listed < 0) return nullptr;
    if (!listed) return not_supported(mode.get());
    // The key is the mode that was checked: getModeIds may have let another thread select a new
    // mode on the chip meanwhile.
    Py_ssize_t size = 0;
    const char* checked = PyUnicode_AsUTF8AndSize(mode.get(), &size);
    if (!checked) return nullptr;
    reg->raw = raw == Py_True;
    auto found = o->modeToCallback->find(reg->raw ? std::string(kRawKey) : std::string(checked, size_t(size)));
    if (found == o->modeToCallback->end() || !found->second) return not_supported(mode.get());  // no delivery for it
    reg->sink = sink_api_of(func);
    if (PyErr_Occurred()) return nullptr;
    try {
        reg->channel.assign(channel.c_str(), size_t(channel.size()));
        reg->mode.assign(checked, size_t(size));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    reg->callback = found->second;
    if (!call(self, zorv_acq_set_data_callback, channel.c_str(), found->second, static_cast<void*>(reg)))
        return nullptr;
    hold.release();
    try {
        o->registrations->latest[reg->channel] = reg;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();  // kept until the device is closed: the SDK delivers to it
    }
    reg->handed = true;
    set_fed(reg, true);
    release_replaced(o, &reg->channel);  // the one it replaced, unless an acquisition may deliver to it
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(methods, "_Acquisition__setDataCallback", setDataCallbackImpl, {"channelId", "func", "raw=False"}, R"(
        Sets acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Acquisition data callback.
            raw (bool): True if raw data should be retrieved, False otherwise

        Returns:
            None
        )");

// setDataCallback and setRawDataCallback: self._Acquisition__setDataCallback(channelId, func, raw=...)
template <bool Raw>
PyObject* register_callable(PyObject* self, PyObject* channelId, PyObject* func) {
    static PyObject* kwnames_raw = Py_BuildValue("(s)", "raw");  // kept for the life of the process
    if (!kwnames_raw) return nullptr;
    PyObject* argv[4] = {self, channelId, func, Raw ? Py_True : Py_False};
    Ref done = Ref::steal(PyObject_VectorcallMethod(s_setDataCallback, argv, 3, kwnames_raw));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

constexpr auto setDataCallback = register_callable<false>;
ZORV_METHOD(methods, setDataCallback, {"channelId", "func"}, R"(
        Sets processed acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Acquisition data callback.

        Returns:
            None
        )");

constexpr auto setRawDataCallback = register_callable<true>;
ZORV_METHOD(methods, setRawDataCallback, {"channelId", "func"}, R"(
        Sets raw acquisition data callback.

        Args:
            channelId (str): Acquisition channel identifier.
            func (AcqDataCallback): Raw acquisition data callback.

        Returns:
            None
        )");

PyObject* getDeliveryFailures(PyObject* self, const Utf8Text& channelId) {
    const Registration* reg = latest(acq_of(self), channelId);
    return PyLong_FromUnsignedLongLong(reg ? reg->failures : 0);
}
ZORV_METHOD(methods, getDeliveryFailures, {"channelId"}, R"(
        Counts the failed deliveries of the channel's current registration.

        A delivery fails when the data callable raises (or cannot be called), when its arrays
        cannot be made, or when the SDK fails to report its data. The first failure of each
        registration is reported through ``sys.unraisablehook``; later ones are only counted.

        Args:
            channelId (str): Acquisition channel identifier.

        Returns:
            The number of failed deliveries since the channel was last registered through this
            object (0 for a channel never registered).
        )");

PyObject* interpreter_entries(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(g_entries); }

// ---- the table of readout modes, for the package's Python modules (zorvsdk.dtypes) ----

Methods functions;

const char* counts_name(readout::Counts c) {
    using readout::Counts;
    return c == Counts::Hits ? "hits" : c == Counts::PixelSums ? "pixel-sums" : c == Counts::BinSums ? "bin-sums"
         : c == Counts::FrameValues ? "frame-values" : "nothing";
}

PyObject* _element_types(PyObject*) {
    Ref types = Ref::steal(PyDict_New());
    if (!types) return nullptr;
    for (const ElementType* t : readout::kElements)
        if (PyDict_SetItemString(types.get(), t->name, element_type(*t)) < 0) return nullptr;
    return types.release();
}
ZORV_FUNCTION(functions, _element_types, {}, R"(
    The NumPy element type of every array a delivery holds, by name ("uint16", "toa_tot", ...).
    )");

PyObject* _delivery_kinds(PyObject*) {
    Ref kinds = Ref::steal(PyTuple_New(readout::kKindCount));
    if (!kinds) return nullptr;
    for (int i = 0; i < readout::kKindCount; ++i) {
        const KindInfo& k = kKinds[i];
        Ref elements = Ref::steal(PyTuple_New(k.arrays));
        if (!elements) return nullptr;
        for (int a = 0; a < k.arrays; ++a) {
            PyObject* name = PyUnicode_FromString(k.types[a]->name);
            if (!name) return nullptr;
            PyTuple_SET_ITEM(elements.get(), a, name);
        }
        PyObject* row = Py_BuildValue("(sONs)", k.name, elements.get(), PyBool_FromLong(k.metadata),
                                      counts_name(k.hits.counts));
        if (!row) return nullptr;
        PyTuple_SET_ITEM(kinds.get(), i, row);
    }
    return kinds.release();
}
ZORV_FUNCTION(functions, _delivery_kinds, {}, R"(
    The kinds of delivery, in the order of the sink interface's enumeration: for each its name, the
    element type names of its arrays, whether the metadata dictionary follows them, and what a
    HitMap counts in them ("hits", "pixel-sums", "bin-sums", "frame-values" or "nothing").
    )");

PyObject* _readout_modes(PyObject*) {
    Ref modes = Ref::steal(PyDict_New());
    if (!modes) return nullptr;
    for (const readout::Mode& m : readout::kModes) {
        Ref kind = Ref::steal(PyUnicode_FromString(m.kind_info().name));
        if (!kind || PyDict_SetItemString(modes.get(), m.id, kind.get()) < 0) return nullptr;
    }
    return modes.release();
}
ZORV_FUNCTION(functions, _readout_modes, {}, R"(
    The kind of delivery of every key of the mode table: the readout modes, and the raw key.
    )");

PyMethodDef kFunctions[] = {
    {"_interpreter_entries", interpreter_entries, METH_NOARGS,
     "_interpreter_entries()\n--\n\nCounts the entries into the interpreter made by data deliveries."},
    {nullptr, nullptr, 0, nullptr},
};

const char kAcquisitionDoc[] = R"(
    Acquisition object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    // The type is bound before the imports, so that zorvsdk.chip may be imported first.
    if (!add_component(m, "zorvsdk.acquisition.__Acquisition", kAcquisitionDoc, methods, sizeof(AcquisitionObject),
                       {acquisition_new, acquisition_dealloc, acquisition_traverse, acquisition_clear}))
        return -1;
    g_chip_type = import_type("zorvsdk.chip", "__Chip", sizeof(ChipObject));
    if (!g_chip_type || !import_numpy()) return -1;
    PyMethodDef* declared = functions.table(false);
    if (!declared || !init_arrays("zorvsdk.acquisition.SdkBuffer") || PyModule_AddFunctions(m, kFunctions) < 0 ||
        PyModule_AddFunctions(m, declared) < 0)
        return -1;
    return add_imports(m, {{"time"}, {"numpy", {}, "np"}}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(acquisition, "Acquisition channels and data deliveries.", exec)
