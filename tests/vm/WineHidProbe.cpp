// The shortest Windows program that reaches the emulated device: it lists the
// HID interfaces the system's set-up services present, then (unless its
// argument is "list") sends 0416:5020 the read command and counts the reports
// it answers with. Cross-built, it shows in the VM that Wine's hidraw bus
// hands the uhid device to hid.dll, independently of the program's own device
// layer.
#include <windows.h>

extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

static void Probe(const wchar_t* path) {
    const HANDLE h =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("  open failed: %lu\n", GetLastError());
        return;
    }
    // The read command for the configuration block, report ID 0 first.
    unsigned char command[65] = {0, 0x35, 0x0e, 0,    0,    0,    0,    0x40, 0x02, 0,
                                 0, 0x48, 0x49, 0x44, 0x43, 0x9d, 0x01, 0,    0};
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(h, command, sizeof command, nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
        std::printf("  write failed: %lu\n", GetLastError());
    else if (WaitForSingleObject(o.hEvent, 5000) != WAIT_OBJECT_0 ||
             !GetOverlappedResult(h, &o, &n, FALSE))
        std::printf("  write did not complete\n");
    int reports = 0;
    std::vector<unsigned char> block;
    for (;;) {
        unsigned char report[65];
        ResetEvent(o.hEvent);
        if (!ReadFile(h, report, sizeof report, nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
            break;
        if (WaitForSingleObject(o.hEvent, 3000) != WAIT_OBJECT_0) {
            CancelIo(h);
            GetOverlappedResult(h, &o, &n, TRUE);
            break;
        }
        if (!GetOverlappedResult(h, &o, &n, FALSE) || n < 2)
            break;
        ++reports;
        block.insert(block.end(), report + 1, report + n);
    }
    std::printf("  answered with %d reports", reports);
    if (block.size() >= 519)
        std::printf(", firmware %u.%u.%u", block[516], block[517], block[518]);
    std::printf("\n");
    CloseHandle(o.hEvent);
    CloseHandle(h);
}

int main(int argc, char** argv) {
    const bool listOnly = argc > 1 && std::strcmp(argv[1], "list") == 0;
    GUID hid;
    HidD_GetHidGuid(&hid);
    const HDEVINFO set =
        SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 1;
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &item); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &item, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, nullptr, nullptr))
            continue;
        const HANDLE h = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        const bool known = h != INVALID_HANDLE_VALUE && HidD_GetAttributes(h, &a);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        std::printf("%04X:%04X %ls\n", known ? a.VendorID : 0, known ? a.ProductID : 0,
                    detail->DevicePath);
        if (!listOnly && known && a.VendorID == 0x0416 && a.ProductID == 0x5020)
            Probe(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
