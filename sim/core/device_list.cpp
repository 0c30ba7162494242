#include "device_list.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <utility>

namespace ksim::core {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// 1 to 4 hex digits.
bool parseHex16(std::string_view text, uint16_t* value) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    unsigned result = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        result = result * 16 + static_cast<unsigned>(digit);
    }
    *value = static_cast<uint16_t>(result);
    return true;
}

// Decimal 1..kMaxDevices.
bool parseCount(std::string_view text, int* count) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    int result = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    if (result < 1 || result > kMaxDevices) {
        return false;
    }
    *count = result;
    return true;
}

std::string knownNames(const std::vector<UsbIdentity>& known) {
    std::string names;
    for (const UsbIdentity& id : known) {
        if (!names.empty()) {
            names += ", ";
        }
        names += id.name;
    }
    return names.empty() ? "none" : names;
}

const UsbIdentity* findIdentity(std::string_view name, const std::vector<UsbIdentity>& known) {
    uint16_t vid = 0;
    uint16_t pid = 0;
    const size_t colon = name.find(':');
    const bool isUsbId = colon != std::string_view::npos &&
                         parseHex16(name.substr(0, colon), &vid) &&
                         parseHex16(name.substr(colon + 1), &pid);
    for (const UsbIdentity& id : known) {
        if (isUsbId ? (id.vendorId == vid && id.productId == pid)
                    : equalsIgnoreCase(name, id.name)) {
            return &id;
        }
    }
    return nullptr;
}

}  // namespace

std::string formatUsbId(uint16_t vendorId, uint16_t productId) {
    char text[16];
    snprintf(text, sizeof(text), "%04x:%04x", vendorId, productId);
    return text;
}

bool parseDeviceList(std::string_view text, const std::vector<UsbIdentity>& known,
                     std::vector<DeviceListEntry>* entries, std::string* error) {
    entries->clear();
    if (trim(text).empty()) {
        return true;
    }
    std::vector<DeviceListEntry> result;
    std::map<std::pair<uint16_t, uint16_t>, int> perIdentity;
    size_t itemNumber = 0;
    for (size_t start = 0; start <= text.size(); ++itemNumber) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = trim(text.substr(start, end - start));
        start = end + 1;

        if (item.empty()) {
            *error = "entry " + std::to_string(itemNumber + 1) + " is empty";
            return false;
        }
        std::string_view name = item;
        int count = 1;
        const size_t star = item.find('*');
        if (star != std::string_view::npos) {
            name = trim(item.substr(0, star));
            const std::string_view countText = trim(item.substr(star + 1));
            if (!parseCount(countText, &count)) {
                *error = "bad count \"" + std::string(countText) + "\" in \"" + std::string(item) +
                         "\" (1.." + std::to_string(kMaxDevices) + ")";
                return false;
            }
        }
        if (name.empty()) {
            *error = "entry \"" + std::string(item) + "\" names no adapter";
            return false;
        }
        const UsbIdentity* id = findIdentity(name, known);
        if (id == nullptr) {
            *error = "unknown adapter \"" + std::string(name) + "\" (known: " + knownNames(known) +
                     "; or vvvv:pppp of one of them)";
            return false;
        }
        if (static_cast<int>(result.size()) + count > kMaxDevices) {
            *error = "more than " + std::to_string(kMaxDevices) + " adapters";
            return false;
        }
        int& ordinal = perIdentity[{id->vendorId, id->productId}];
        for (int i = 0; i < count; ++i) {
            result.push_back({id->vendorId, id->productId, id->name, ordinal++});
        }
    }
    *entries = std::move(result);
    return true;
}

}  // namespace ksim::core
