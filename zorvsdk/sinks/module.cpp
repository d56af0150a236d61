// zorvsdk.sinks: native sinks of data deliveries.
//
// A sink is registered like a data callable (setDataCallback, setRawDataCallback). Its type
// publishes the interface of deliveries.hpp as a capsule, through which the acquisition module
// hands it every delivery on the SDK's thread without the interpreter lock. A sink is also an
// ordinary callable, sink(*arrays, metadata), for scripted and mixed use: that path builds the same
// delivery over the arrays and hands it to the same code.
//
// - Recorder: a bounded ring of deliveries, each copied in whole or dropped whole (and counted),
//   pulled from Python as arrays it owns, one delivery or a batch at a time.
// - HitMap: per-pixel hit counts and summed ToT, accumulated on the SDK's thread.
//
// Locks: a sink's mutexes are held only for short, bounded work and never while waiting for the
// interpreter lock, so Python threads may take them with the lock held. Every sink is registered
// for fork: its mutexes are taken before a fork and given back on both sides, and in the child,
// where the SDK's threads and the other Python threads do not exist, what they had begun is dropped.
//
// Files: runs of memory (runs.*), the places of a delivery (places.hpp), waits (wait.hpp), the fork
// registry (fork.hpp), the interface of a part (part.hpp, a concept) and the parts (ring.hpp,
// map.hpp), the call path (call.*), the Python face that every sink shares (object.*), each sink's
// own face and its registration (recorder.cpp, hitmap.cpp), and the module (this file). A new sink
// is one new file here: its part, its face and its ZORV_SINK registration.
#include "fork.hpp"
#include "object.hpp"

#include "zorvsdk/core/arrays.hpp"
#include "zorvsdk/core/module.hpp"
#include "zorvsdk/core/numpy.hpp"

#include <pthread.h>

#include <cerrno>

using namespace zorv;

namespace {

int exec(PyObject* m) {
    if (!import_common(m) || !import_numpy() || !init_arrays("zorvsdk.sinks.SdkBuffer") || !sinks::add_sinks(m))
        return -1;
    if (int err = pthread_atfork(sinks::Sink::before_fork, sinks::Sink::after_fork_parent, sinks::Sink::after_fork_child)) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return 0;
}

}  // namespace

ZORV_MODULE(sinks, "Native sinks of data deliveries: a recorder and a hit map.", exec)
