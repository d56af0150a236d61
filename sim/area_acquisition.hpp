// Virtual device: the acquisition model of one device.
//
// A device has named acquisition channels. When nothing is scripted for a channel, an acquisition
// delivers the data of a synthetic detector whose members are kept here; the state of running
// acquisitions (threads, registered callbacks, scripts, delivery counts) lives outside the model,
// by device index and channel, so that a model change keeps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "area.hpp"
#include "json.hpp"

namespace sim {

struct AcqArea {
    std::vector<std::string> channels;
    // Synthetic detector: deliveries per acquisition (-1: until aborted), hits per delivery, the
    // detector time one delivery covers in seconds (also the real-time interval between deliveries
    // when `realTime`), the seed of the generator, the mix of cluster sources by cluster count, and
    // the TDC time stamps per delivery of inputs 0, 1 and 2.
    int64_t deliveries = 20;
    int64_t hitsPerDelivery = 10000;
    double period = 0.05;
    bool realTime = true;
    int64_t seed = 1;
    double photons = 0.985;
    double blobs = 0.005;
    double tracks = 0.01;
    int tdcPerDelivery[3] = {4, 1, 0};
    // Overwrites every buffer of a delivery with the byte 0xA5 right after the callback returns.
    bool scrub = false;
};

SIM_AREA_FUNCTIONS(AcqArea, acq);

// Stops every acquisition and forgets every script, registration, cache and delivery count; call
// without the world lock.
void reset_acquisitions();

// The fork handlers of the acquisitions, called with the world locked: before the fork they take
// every lock of the acquisitions; after it the parent releases them, and the child makes them anew
// and forgets the delivery threads, which do not exist there.
void acq_before_fork();
void acq_after_fork_in_parent();
void acq_after_fork_in_child();

}  // namespace sim

namespace sim {
// True while an acquisition runs on any channel of the device (the model cannot be replaced then).
bool acquiring(const Device& dev);
}  // namespace sim
