#pragma once

#include "hid/HidControllerClass.h"
#include "hid/PlainGuiLoop.h"
#include "hid/platform/sim/SimPlatform.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace korvalis::testing {

// The test program's GUI loop (HidTestMain.cpp).
extern THidPlainLoop* gLoop;

// Runs the event loop until pred holds or the time is up.
inline bool RunUntil(const std::function<bool()>& pred, int milliseconds = 3000) {
    return gLoop->RunUntil(pred, milliseconds);
}

inline void RunFor(int milliseconds) {
    gLoop->RunFor(milliseconds);
}

// Records the controller's events as short texts, in order.
struct TRecorder {
    std::vector<std::string> Log;
    std::vector<std::string> Reports;
    std::vector<uint32_t> Errors;

    static std::string Id(THidDevice* d) { return std::to_string(d->PnPInfo()->DevInst); }
    void Arrival(THidDevice* d) { Log.push_back("arrival " + Id(d)); }
    void Removal(THidDevice* d) { Log.push_back("removal " + Id(d)); }
    void Unplug(THidDevice* d) { Log.push_back("unplug " + Id(d)); }
    void Change(THidDeviceController*) { Log.push_back("change"); }
    void Data(THidDevice*, uint8_t id, const uint8_t* data, uint16_t size) {
        std::string r = std::to_string(id) + ":" + std::to_string(size);
        if (size > 0)
            r += ":" + std::to_string(data[0]) + ":" + std::to_string(data[size - 1]);
        Reports.push_back(r);
    }
    void DataError(THidDevice*, uint32_t error) { Errors.push_back(error); }

    void Attach(THidDeviceController& c) {
        c.SetOnArrival({this, &TRecorder::Arrival});
        c.SetOnRemoval({this, &TRecorder::Removal});
        c.SetOnDeviceUnplug({this, &TRecorder::Unplug});
        c.SetOnDeviceChange({this, &TRecorder::Change});
        c.SetOnDeviceData({this, &TRecorder::Data});
        c.SetOnDeviceDataError({this, &TRecorder::DataError});
    }
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(Log);
        return out;
    }
};

inline sim::TSimInterface Interface(uint16_t vendor = 0x0416, uint16_t product = 0x5020) {
    sim::TSimInterface i;
    i.VendorID = vendor;
    i.ProductID = product;
    i.VersionNumber = 0x0100;
    return i;
}

// A fresh simulated platform bound for each test.
struct TSimFixture {
    sim::TSimPlatform& Sim = sim::TSimPlatform::Instance();
    TSimFixture() {
        Sim.Reset();
        sim::TSimPlatform::Select();
    }
    ~TSimFixture() { Sim.Reset(); }
};

} // namespace korvalis::testing
