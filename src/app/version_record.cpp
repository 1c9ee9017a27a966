#include "app/version_record.h"

#include <cstdint>
#include <cstdio>

namespace app {
namespace {

std::uint16_t u16At(std::string_view s, std::size_t pos) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[pos]) |
                                      (static_cast<unsigned char>(s[pos + 1]) << 8));
}

}  // namespace

std::string versionLineFromRecord(std::string_view record) {
    if (record.empty())
        return {};
    std::string fileVersion, productVersion;
    auto translation = queryVersionValue(record, "\\VarFileInfo\\Translation");
    if (translation && translation->size() >= 4) {
        char block[16];
        std::snprintf(block, sizeof block, "%04X%04X", u16At(*translation, 0),
                      u16At(*translation, 2));
        const std::string base = std::string("\\StringFileInfo\\") + block + "\\";
        auto cut = [](std::string v) {
            // A value is a C string in the record's sense: it ends at its first NUL.
            v = v.substr(0, v.find('\0'));
            if (v.size() > kVersionValueMax)
                v.resize(kVersionValueMax);
            return v;
        };
        if (auto fv = queryVersionValue(record, base + "FileVersion"); fv && !fv->empty()) {
            fileVersion = cut(*fv);
            if (auto pv = queryVersionValue(record, base + "ProductVersion"); pv && !pv->empty())
                productVersion = cut(*pv);
        }
    }
    return "Version " + fileVersion + "  (" + productVersion + ")";
}

std::string buildStamp(const char* date, const char* time) {
    std::string d = date ? date : "";
    // __DATE__ is "Mmm dd yyyy" with the day padded by a blank below 10.
    if (d.size() == 11 && d[4] == ' ')
        d[4] = '0';
    return d + " - " + (time ? time : "");
}

}  // namespace app
