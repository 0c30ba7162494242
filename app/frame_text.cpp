#include "app/frame_text.h"

#include <cstdlib>
#include <cstring>

#include "app/console.h"

namespace {

// An identifier text is copied into a buffer of this size before conversion.
constexpr size_t kMaxIdChars = 15;
constexpr int kClassicMaxData = 8;
constexpr int kFdMaxData = 64;

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint8_t hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    return static_cast<uint8_t>(c - 'A' + 10);
}

bool isSeparator(char c) {
    return c == '-' || c == ' ' || c == ':';
}

// Matches text[pos] against two accepted letters. Callers test positions in
// increasing order and stop at the first mismatch, so the terminating NUL is
// never passed.
bool charIs(const char* text, size_t pos, char upper, char lower) {
    return text[pos] == upper || text[pos] == lower;
}

// Copies [begin, end) into a NUL-terminated identifier buffer; false when the
// text is longer than kMaxIdChars.
bool copyIdText(const char* begin, const char* end, char (&out)[kMaxIdChars + 1]) {
    size_t n = static_cast<size_t>(end - begin);
    if (n > kMaxIdChars) {
        return false;
    }
    memcpy(out, begin, n);
    out[n] = '\0';
    return true;
}

// Fills len and data of a frame side from the data text of the "-m" form.
template <typename Frame, int kMaxData>
void fillData(const char* dataText, Frame& frame) {
    // The length is an 8-bit count: a 258-character text counts as 2.
    uint8_t textLen = static_cast<uint8_t>(strlen(dataText));
    int count = textLen / 2;
    if (count > kMaxData) {
        count = kMaxData;
    }
    for (int i = 0; i < count; ++i) {
        char pair[3] = {dataText[2 * i], dataText[2 * i + 1], '\0'};
        frame.data[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
    }
    frame.len = static_cast<uint8_t>(count);
}

}  // namespace

int cmdLineStrMsgParse(const char* text, _KCAN_USER_OBJ* obj) {
    if (text == nullptr || obj == nullptr) {
        return -1;
    }
    memset(obj, 0, sizeof(*obj));

    if (charIs(text, 0, 'C', 'c')) {
        obj->isFd = 0;
    } else if (charIs(text, 0, 'F', 'f')) {
        obj->isFd = 1;
    } else {
        return -1;
    }
    if (text[1] != '#') {
        return -1;
    }
    uint8_t ext;
    if (charIs(text, 2, 'S', 's')) {
        ext = 0;
    } else if (charIs(text, 2, 'E', 'e')) {
        ext = 1;
    } else {
        return -1;
    }
    if (text[3] != '#') {
        return -1;
    }
    uint8_t rtr;
    if (charIs(text, 4, 'R', 'r')) {
        rtr = 1;
    } else if (charIs(text, 4, 'D', 'd')) {
        rtr = 0;
    } else {
        return -1;
    }
    if (text[5] != '#') {
        return -1;
    }

    const char* idText = text + 6;
    const char* hash = strchr(idText, '#');
    char idBuf[kMaxIdChars + 1];
    if (hash == nullptr || !copyIdText(idText, hash, idBuf)) {
        return -1;
    }
    uint32_t id = static_cast<uint32_t>(strtoul(idBuf, nullptr, 16));
    const char* dataText = hash + 1;

    uint32_t len = 0;
    if (obj->isFd) {
        _KCAN_CANFD_OBJ& f = obj->canfdObj;
        f.id = id;
        f.ext = ext;
        f.rtr = rtr;
        if (!rtr) {
            fillData<_KCAN_CANFD_OBJ, kFdMaxData>(dataText, f);
        }
        len = f.len;
    } else {
        _KCAN_CAN_OBJ& c = obj->canObj;
        c.id = id;
        c.ext = ext;
        c.rtr = rtr;
        if (!rtr) {
            fillData<_KCAN_CAN_OBJ, kClassicMaxData>(dataText, c);
        }
        len = c.len;
    }

    log_info("msg->fd:%d id:0x%0x ext:%d rtr:%d len:%d", obj->isFd, id, ext, rtr,
             static_cast<int>(len));
    return 0;
}

int canObj2UserObj(const _KCAN_CAN_OBJ* canObj, _KCAN_USER_OBJ* obj) {
    if (canObj == nullptr || obj == nullptr) {
        return -1;
    }
    obj->isFd = 0;
    memcpy(&obj->canObj, canObj, sizeof(obj->canObj));
    return 0;
}

int canfdObj2UserObj(const _KCAN_CANFD_OBJ* fdObj, _KCAN_USER_OBJ* obj) {
    if (fdObj == nullptr || obj == nullptr) {
        return -1;
    }
    obj->isFd = 1;
    memcpy(&obj->canfdObj, fdObj, sizeof(obj->canfdObj));
    return 0;
}

int parse_hex_data(const char* text, uint8_t* out, int max) {
    if (text == nullptr || out == nullptr || max <= 0) {
        return 0;
    }
    int count = 0;
    const char* p = text;
    while (*p != '\0' && count < max) {
        if (isSeparator(*p)) {
            while (isSeparator(*p)) {
                ++p;
            }
            continue;
        }
        if (!isHexDigit(*p)) {
            ++p;
            continue;
        }
        uint8_t value = static_cast<uint8_t>(hexValue(*p) << 4);
        ++p;
        if (isHexDigit(*p)) {
            value = static_cast<uint8_t>(value | hexValue(*p));
            ++p;
        }
        out[count++] = value;
    }
    return count;
}

uint32_t parse_hex_id(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    return static_cast<uint32_t>(strtol(text, nullptr, 16));
}

int parse_can_frame(const char* text, _KCAN_CAN_OBJ* canObj) {
    if (text == nullptr || canObj == nullptr) {
        return -1;
    }
    const char* sep = strchr(text, '#');
    if (sep == nullptr) {
        sep = strchr(text, ':');
    }
    char idBuf[kMaxIdChars + 1];
    if (sep == nullptr || !copyIdText(text, sep, idBuf)) {
        return -1;
    }
    canObj->id = parse_hex_id(idBuf);
    canObj->ext = canObj->id > 0x7FF ? 1 : 0;
    canObj->txOption = 0;
    canObj->len = static_cast<uint8_t>(parse_hex_data(sep + 1, canObj->data, kClassicMaxData));
    return 0;
}
