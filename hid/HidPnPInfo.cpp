// The property snapshot of one interface: every property the set-up
// services hold, read once when the interface is found.
#include "HidControllerClass.h"

#include "SetupApi.h"

#include <algorithm>
#include <cstdio>

namespace korvalis {

namespace {

bool ReadProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code, uint32_t extra,
                  uint32_t& type, std::vector<uint8_t>& data) {
    const TSetupApi& api = SetupApi();
    data.clear();
    if (!api.SetupDiGetDeviceRegistryPropertyA)
        return false;
    uint32_t size = 0;
    api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type, nullptr, 0, &size);
    if (size == 0 || size > kPropertyLimit)
        return false;
    data.assign(size + extra, 0);
    if (!api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type, data.data(), size,
                                               &size)) {
        data.clear();
        return false;
    }
    return true;
}

std::string TextProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadProperty(info, devInfo, code, 1, type, data))
        return {};
    return std::string(reinterpret_cast<const char*>(data.data()));
}

std::vector<std::string> ListProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    std::vector<std::string> list;
    if (!ReadProperty(info, devInfo, code, 2, type, data))
        return list;
    const char* p = reinterpret_cast<const char*>(data.data());
    const char* end = p + data.size();
    while (p < end && *p) {
        std::string s(p);
        p += s.size() + 1;
        list.push_back(std::move(s));
    }
    return list;
}

uint32_t NumberProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    const TSetupApi& api = SetupApi();
    uint32_t value = 0, type = 0, size = 0;
    if (!api.SetupDiGetDeviceRegistryPropertyA ||
        !api.SetupDiGetDeviceRegistryPropertyA(info, devInfo, code, &type,
                                               reinterpret_cast<uint8_t*>(&value), 4, &size))
        return 0;
    return value;
}

} // namespace

// Properties stored as a number or raw bytes are rendered readably: a number
// in decimal (hexadecimal for bit sets), sixteen bytes as a GUID, text as is.
std::string RenderPropertyText(uint32_t code, uint32_t type, const std::vector<uint8_t>& data) {
    char text[64];
    if (data.size() >= 16 && type == REG_BINARY) {
        GUID g;
        std::memcpy(&g, data.data(), sizeof g);
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                      g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return text;
    }
    if (data.size() >= 4 && (type == REG_DWORD || type == REG_BINARY)) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(text, sizeof text, code == SPDRP_CHARACTERISTICS ? "0x%08X" : "%u", v);
        return text;
    }
    return std::string(data.begin(), std::find(data.begin(), data.end(), uint8_t(0)));
}

namespace {

std::string TextFieldProperty(HDEVINFO info, SP_DEVINFO_DATA* devInfo, uint32_t code) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadProperty(info, devInfo, code, 1, type, data))
        return {};
    data.pop_back();
    return RenderPropertyText(code, type, data);
}

} // namespace

THidPnPInfo::THidPnPInfo(HDEVINFO info, SP_DEVINFO_DATA* devInfo, std::string devicePath)
    : DevInst(devInfo->DevInst), DevicePath(std::move(devicePath)) {
    Capabilities = NumberProperty(info, devInfo, SPDRP_CAPABILITIES);
    ClassName = TextProperty(info, devInfo, SPDRP_CLASS);
    ClassGUID = TextProperty(info, devInfo, SPDRP_CLASSGUID);
    CompatibleIDs = ListProperty(info, devInfo, SPDRP_COMPATIBLEIDS);
    ConfigFlags = NumberProperty(info, devInfo, SPDRP_CONFIGFLAGS);
    DeviceDescr = TextProperty(info, devInfo, SPDRP_DEVICEDESC);
    Driver = TextProperty(info, devInfo, SPDRP_DRIVER);
    FriendlyName = TextProperty(info, devInfo, SPDRP_FRIENDLYNAME);
    HardwareID = ListProperty(info, devInfo, SPDRP_HARDWAREID);
    LowerFilters = ListProperty(info, devInfo, SPDRP_LOWERFILTERS);
    Mfg = TextProperty(info, devInfo, SPDRP_MFG);
    UpperFilters = ListProperty(info, devInfo, SPDRP_UPPERFILTERS);
    Service = TextProperty(info, devInfo, SPDRP_SERVICE);
    Address = TextFieldProperty(info, devInfo, SPDRP_ADDRESS);
    BusNumber = NumberProperty(info, devInfo, SPDRP_BUSNUMBER);
    BusTypeGUID = TextFieldProperty(info, devInfo, SPDRP_BUSTYPEGUID);
    Characteristics = TextFieldProperty(info, devInfo, SPDRP_CHARACTERISTICS);
    DevType = NumberProperty(info, devInfo, SPDRP_DEVTYPE);
    EnumeratorName = TextProperty(info, devInfo, SPDRP_ENUMERATOR_NAME);
    Exclusive = NumberProperty(info, devInfo, SPDRP_EXCLUSIVE);
    LegacyBusType = NumberProperty(info, devInfo, SPDRP_LEGACYBUSTYPE);
    LocationInformation = TextProperty(info, devInfo, SPDRP_LOCATION_INFORMATION);
    PhysDevObjName = TextProperty(info, devInfo, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    Security = TextProperty(info, devInfo, SPDRP_SECURITY_SDS);
    UINumber = NumberProperty(info, devInfo, SPDRP_UI_NUMBER);
    Property1E = TextProperty(info, devInfo, SPDRP_PROPERTY_1E);
}

std::string THidPnPInfo::SnapshotText() const {
    std::string out;
    auto line = [&out](const char* name, const std::string& value) {
        out += name;
        out += '=';
        out += value;
        out += '\n';
    };
    auto number = [&line](const char* name, uint32_t v) { line(name, std::to_string(v)); };
    auto list = [&line](const char* name, const std::vector<std::string>& v) {
        std::string joined;
        for (const std::string& s : v)
            joined += (joined.empty() ? "" : ";") + s;
        line(name, joined);
    };
    number("Capabilities", Capabilities);
    line("Class", ClassName);
    line("ClassGUID", ClassGUID);
    list("CompatibleIDs", CompatibleIDs);
    number("ConfigFlags", ConfigFlags);
    line("DeviceDesc", DeviceDescr);
    line("Driver", Driver);
    line("FriendlyName", FriendlyName);
    list("HardwareID", HardwareID);
    list("LowerFilters", LowerFilters);
    line("Mfg", Mfg);
    list("UpperFilters", UpperFilters);
    line("Service", Service);
    line("Address", Address);
    number("BusNumber", BusNumber);
    line("BusTypeGUID", BusTypeGUID);
    line("Characteristics", Characteristics);
    number("DevType", DevType);
    line("EnumeratorName", EnumeratorName);
    number("Exclusive", Exclusive);
    number("LegacyBusType", LegacyBusType);
    line("LocationInformation", LocationInformation);
    line("PhysicalDeviceObjectName", PhysDevObjName);
    line("Security", Security);
    number("UINumber", UINumber);
    line("Property1E", Property1E);
    return out;
}

} // namespace korvalis
