#pragma once

// A simulated HID platform: virtual interfaces that can be plugged and
// unplugged, with faults to inject and device models that answer output
// reports with input reports. It stands behind the same module names the
// controller binds (kSimModules), so the real controller and devices run
// against it: in the tests, in `korvalis --simulate` and in the demo window.

#include "hid/HidPlatform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvalis::sim {

enum class TSimWriteResult { Accepted, Refused, Unplugged };

// What a device model may do to the interface it sits behind.
class ISimDevicePort {
  public:
    virtual ~ISimDevicePort() = default;
    // Queues one input report, report-ID byte first, as the application will
    // see it; the interface's reader takes it like one from the wire.
    virtual void QueueInputReport(std::vector<uint8_t> report) = 0;
    virtual uint32_t DevInst() const = 0;
};

// The device side of one simulated interface. Output reports arrive on the
// thread that writes them (the GUI thread); the model answers by queueing input
// reports on the port. A model is added as one class beside this header; the
// controller does not change.
class ISimDeviceModel {
  public:
    virtual ~ISimDeviceModel() = default;
    // One output report, report-ID byte first, exactly as written.
    virtual TSimWriteResult OutputReport(ISimDevicePort& port, std::span<const uint8_t> report) = 0;
    // The interface was plugged (again) with this port.
    virtual void Plugged(ISimDevicePort&) {}
};

// Faults of one interface; they may be changed at any time.
struct TSimFaults {
    bool OpenFails = false;      // every opening fails (access denied)
    int OpenFailsTimes = 0;      // only the next n openings fail
    bool IdentifyFails = false;  // the attributes query fails
    bool WriteFails = false;     // every write is refused
    bool ReadStartFails = false; // no read can be started
    bool Silent = false;         // input reports are lost, nothing ever arrives
    bool UnplugOnWrite = false;  // the interface disappears during the next write
    bool UnplugOnRead = false;   // ... while the next read is outstanding
};

struct TSimInterface {
    uint32_t DevInst = 0; // 0: the platform assigns a new one
    std::string Path;     // empty: "/sim/hidraw<n>"
    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint16_t VersionNumber = 0;
    uint16_t InputReportByteLength = 65; // counting the report-ID byte
    uint16_t OutputReportByteLength = 65;
    bool NumberedReports = false; // otherwise every report carries ID 0
    bool ReadWrite = true;        // false: only query access is granted
    std::string Product = "Simulated HID interface";
    std::string Manufacturer = "Korvalis simulation";
    TSimFaults Faults;
    std::shared_ptr<ISimDeviceModel> Model;
};

// hidraw's fixed queue length; reports beyond it are dropped.
inline constexpr uint32_t kSimInputQueue = 64;

// The process's one simulated platform. All members are thread-safe.
class TSimPlatform {
  public:
    static TSimPlatform& Instance();

    // Makes the HID layer bind the simulated platform from the next
    // controller on.
    static void Select();

    // Plugs an interface and broadcasts the change; answers its DevInst.
    uint32_t Plug(TSimInterface config);
    // Unplugs and broadcasts; false when no such interface is plugged.
    bool Unplug(uint32_t devInst);
    // The same interface again under a new DevInst (a re-plug); 0 when absent.
    uint32_t Replug(uint32_t devInst);
    // A device-change broadcast with nothing changed.
    void Broadcast();
    // Removes every interface without broadcasting and clears all knobs.
    void Reset();

    void SetFaults(uint32_t devInst, const TSimFaults& faults);
    // A report the device sends, report-ID byte first.
    bool QueueInputReport(uint32_t devInst, std::vector<uint8_t> report);
    // Every output report written to the interface, in order.
    std::vector<std::vector<uint8_t>> WrittenReports(uint32_t devInst) const;
    uint64_t DroppedInputReports(uint32_t devInst) const;
    std::vector<uint32_t> PluggedInterfaces() const;

    // Platform-wide faults: the scan finds nothing, or the broadcast monitor
    // breaks (it reports an error from the next change on).
    void SetScanFails(bool fails);
    void BreakMonitor();
    // Called (on the waking thread) whenever the layer wakes an interface's
    // reader; tests look at the layer's state at that moment.
    void SetOnReadWake(std::function<void(uint32_t devInst)> hook);

    // Handles and preparsed records currently open, for leak checks.
    size_t OpenHandles() const;
    size_t LivePreparsed() const;
    uint64_t ScanCount() const;

  private:
    TSimPlatform() = default;
};

} // namespace korvalis::sim
