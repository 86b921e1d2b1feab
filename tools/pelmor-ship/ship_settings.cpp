#include "pelmor-ship/ship_settings.h"

#include <cstring>

ParameterDescriptor ShipTable[SHIP_TABLE_COUNT];

namespace {

// The group's rows in a constant, so the compiler can check their order.
struct ShipGroupTable {
    ParameterDescriptor rows[SHIP_SETTINGS_COUNT];
};

// Group VERSAND. Every key is optional and has a default that runs a
// single-node installation on this machine; QUELLE's empty default stands
// for the host name, known only when the shipper runs.
// clang-format off
constexpr ShipGroupTable SHIP_GROUP_ROWS = {{
//   group      key           token id         found opt onErr valid min max      type       default                  content value comment
    {"VERSAND", "NATSURL",    SHIP_NATSURL,    0,    1,  0,    0,    1,  100,     TYPSTRING, "nats://127.0.0.1:4222", {},     {},   "NATS-Server, durch Komma getrennt"},
    {"VERSAND", "STREAM",     SHIP_STREAM,     0,    1,  0,    0,    1,  32,      TYPSTRING, "PELMOR",                {},     {},   "Stream"},
    {"VERSAND", "SUBJECT",    SHIP_SUBJECT,    0,    1,  0,    0,    1,  100,     TYPSTRING, "pelmor.records",        {},     {},   "Subject der Saetze"},
    {"VERSAND", "QUELLE",     SHIP_QUELLE,     0,    1,  0,    0,    1,  64,      TYPSTRING, "",                      {},     {},   "Name der Quelle (Vorgabe: Rechnername)"},
    {"VERSAND", "REPLIKATE",  SHIP_REPLIKATE,  0,    1,  0,    0,    1,  5,       TYPINT,    "1",                     {},     {},   "Replikate eines neuen Streams"},
    {"VERSAND", "DUPFENSTER", SHIP_DUPFENSTER, 0,    1,  0,    0,    10, 86400,   TYPINT,    "600",                   {},     {},   "Duplikatfenster eines neuen Streams in s"},
    {"VERSAND", "FENSTER",    SHIP_FENSTER,    0,    1,  0,    0,    1,  4096,    TYPINT,    "512",                   {},     {},   "unbestaetigte Saetze hoechstens"},
    {"VERSAND", "UEBERGABE",  SHIP_UEBERGABE,  0,    1,  0,    0,    1,  1048576, TYPINT,    "8192",                  {},     {},   "Uebernahme der Bufferdatei ab KB"},
    {"VERSAND", "NATSCREDS",  SHIP_NATSCREDS,  0,    1,  0,    0,    1,  100,     TYPSTRING, "",                      {},     {},   "Credentials-Datei"},
    {"VERSAND", "NATSCA",     SHIP_NATSCA,     0,    1,  0,    0,    1,  100,     TYPSTRING, "",                      {},     {},   "CA-Zertifikate (TLS)"},
    {"VERSAND", "NATSCERT",   SHIP_NATSCERT,   0,    1,  0,    0,    1,  100,     TYPSTRING, "",                      {},     {},   "Client-Zertifikat (TLS)"},
    {"VERSAND", "NATSKEY",    SHIP_NATSKEY,    0,    1,  0,    0,    1,  100,     TYPSTRING, "",                      {},     {},   "Schluessel des Client-Zertifikats"},
}};
// clang-format on

constexpr bool ShipGroupInOrder() {
    for (int32_t index = 0; index < SHIP_SETTINGS_COUNT; ++index) {
        if (SHIP_GROUP_ROWS.rows[index].tokenId != index) {
            return false;
        }
    }
    return true;
}
static_assert(ShipGroupInOrder(), "every setting's row stands at its token id");

} // namespace

void ShipTableReset() {
    for (int32_t i = 0; i < PELMOR_SETTINGS_COUNT; ++i) {
        ShipTable[i] = PelmorSettings[i];
    }
    for (int32_t i = 0; i < SHIP_SETTINGS_COUNT; ++i) {
        ShipTable[PELMOR_SETTINGS_COUNT + i] = SHIP_GROUP_ROWS.rows[i];
    }
    for (ParameterDescriptor& entry : ShipTable) {
        entry.found = 0;
        entry.valid = 0;
        std::memset(entry.content, 0, sizeof entry.content);
        std::memset(&entry.value, 0, sizeof entry.value);
    }
}

int32_t ShipTableRead(const char* path, int32_t* position) {
    ShipTableReset();
    int32_t resultCode = 0;
    ReadKeyIni(path, KEYINI_READ, ShipTable, SHIP_TABLE_COUNT, &resultCode, position);
    return resultCode;
}

ParameterDescriptor& ShipEntry(int32_t setting) {
    return ShipTable[PELMOR_SETTINGS_COUNT + setting];
}

int ShipEntryState(int32_t setting) {
    const ParameterDescriptor& entry = ShipEntry(setting);
    if (!entry.found) {
        return 0;
    }
    if (!entry.valid) {
        return -1;
    }
    if (setting == SHIP_QUELLE && !ShipValidSourceName(entry.value.textValue)) {
        return -1;
    }
    if (setting == SHIP_NATSURL && !ShipValidUrls(entry.value.textValue)) {
        return -1;
    }
    return 1;
}

bool ShipGroupPresent() {
    for (int32_t setting = 0; setting < SHIP_SETTINGS_COUNT; ++setting) {
        if (ShipEntry(setting).found) {
            return true;
        }
    }
    return false;
}

bool ShipValidSourceName(const char* text) {
    return text[0] != '\0' && std::strchr(text, ':') == nullptr;
}

namespace {

// Calls each(url, last) for every address of a comma-separated NATSURL.
template <typename Each> void ShipEachUrl(const std::string& urls, Each each) {
    for (std::size_t start = 0; start <= urls.size();) {
        std::size_t comma = urls.find(',', start);
        comma = comma == std::string::npos ? urls.size() : comma;
        each(urls.substr(start, comma - start), comma >= urls.size());
        start = comma + 1;
    }
}

} // namespace

bool ShipValidUrls(const char* text) {
    bool valid = true;
    ShipEachUrl(text, [&valid](std::string url, bool) {
        const std::size_t scheme = url.find("://");
        if (scheme != std::string::npos) {
            url = url.substr(scheme + 3);
        }
        const std::size_t at = url.rfind('@');
        if (at != std::string::npos) {
            url = url.substr(at + 1);
        }
        if (url.empty() || url[0] == ':' || url[0] == '[' || url.find(']') != std::string::npos) {
            valid = false;
        }
    });
    return valid;
}

const char* ShipEntryRule(int32_t setting) {
    if (setting == SHIP_QUELLE) {
        return ", ohne ':'";
    }
    if (setting == SHIP_NATSURL) {
        return ", je Adresse ein Rechner; IPv6-Adressen in [ ] liest die Parameterdatei nicht, "
               "statt dessen einen Rechnernamen";
    }
    return "";
}

std::string ShipUrlShown(const std::string& urls) {
    std::string shown;
    ShipEachUrl(urls, [&shown](std::string url, bool last) {
        const std::size_t scheme = url.find("://");
        const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
        const std::size_t at = url.find('@', host);
        if (at != std::string::npos && url.find('/', host) > at) {
            url.erase(host, at + 1 - host);
        }
        shown += url;
        if (!last) {
            shown += ",";
        }
    });
    return shown;
}
