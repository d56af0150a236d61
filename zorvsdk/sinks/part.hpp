// What a sink's native part is: the interface that add_sink<Part> (object.hpp) requires, through
// which the SDK's threads, the call path and the sink's Python face reach it.
#pragma once

#include "fork.hpp"

#include "zorvsdk/core/deliveries.hpp"

#include <concepts>

namespace zorv::sinks {

template <class P>
concept SinkPart = std::derived_from<P, Sink> && std::destructible<P> &&
                   requires(P& part, const P& made, const DeliveredData& data, int running) {
    // The type's name in messages ("Recorder"), and whether it takes raw deliveries (the SDK's own
    // format).
    { P::kName } -> std::convertible_to<const char*>;
    { P::kTakesRaw } -> std::convertible_to<bool>;
    // Whether construction got all it needs (memory): a part that is not ok is deleted at once.
    { made.ok() } -> std::same_as<bool>;
    // A delivery, on a thread of the SDK (or of the call path) without the interpreter lock: copy or
    // reduce what is needed and return, never waiting for a reader or for the interpreter lock;
    // `data` is valid only during the call.
    { part.deliver(data) } noexcept;
    // An acquisition on a channel registered with the sink has begun (1) or has stopped (0), with
    // the interpreter lock held.
    { part.acquiring(running) } noexcept;
    // And, as a Sink: what the fork handlers take and repair (lock, unlock, repair_child), and
    // whether the SDK may still deliver to it (fed, starved), with a default for every part: a
    // part's waits for deliveries (wait_for) end once it has starved and settled.
    { part.fed(running) } noexcept;
};

}  // namespace zorv::sinks
