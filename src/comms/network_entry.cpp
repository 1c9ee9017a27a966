#include "comms/network_entry.h"

#include "platform/prefix.h"
#include "platform/profile.h"

namespace comms {

namespace {

bool parsePortNumber(std::string_view digits, std::uint16_t* port) {
    if (digits.empty() || digits.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

std::optional<NetScheme> schemeOf(std::string_view name) {
    if (name == "tcp")
        return NetScheme::Tcp;
    if (name == "udp")
        return NetScheme::Udp;
    if (name == "udp-raw")
        return NetScheme::UdpRaw;
    return std::nullopt;
}

std::optional<NetworkEntry> fail(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
    return std::nullopt;
}

}  // namespace

std::optional<NetworkEntry> parseNetworkEntry(std::string_view text, std::string* reason) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return fail(reason, "no scheme (tcp:, udp: or udp-raw:)");
    NetworkEntry entry;
    const auto scheme = schemeOf(text.substr(0, colon));
    if (!scheme)
        return fail(reason, "unknown scheme '" + std::string(text.substr(0, colon)) + "'");
    entry.scheme = *scheme;

    std::string_view rest = text.substr(colon + 1);
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            return fail(reason, "unclosed '[' in the host");
        entry.host = std::string(rest.substr(1, close - 1));
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return fail(reason, "no port after the host");
        portText = rest.substr(close + 2);
    } else {
        const auto last = rest.rfind(':');
        if (last == std::string_view::npos)
            return fail(reason, "no port after the host");
        entry.host = std::string(rest.substr(0, last));
        if (entry.host.find(':') != std::string::npos)
            return fail(reason, "an IPv6 address needs brackets");
        portText = rest.substr(last + 1);
    }
    if (entry.host.empty())
        return fail(reason, "empty host");
    if (!parsePortNumber(portText, &entry.port))
        return fail(reason, "port '" + std::string(portText) + "' is not a number 1..65535");
    return entry;
}

std::string portEntryText(int portNumber) {
    return platform::readProfileString(platform::translatePath("C:\\kelp_config.ini"), "Ports",
                                       "COM" + std::to_string(portNumber), "");
}

}  // namespace comms
