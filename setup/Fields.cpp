#include "setup/Fields.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "setup/Times.h"

namespace veltor::setup::detail {

namespace {

const char* const kClocks[] = {"200MHz", "3.125MHz", "2xref", "2xref/64"};
const char* const kKinds[] = {"normal", "alternate", "plain"};
const char* const kValueModes[] = {"off", "on", "low"};

constexpr std::size_t kShownLength = 48;

// The integer a JSON number stands for, refused unless it is whole and within
// lowest..highest. A whole float ("16.0", which other writers may produce) is
// taken.
long long IntegerAt(const Json& value, const std::string& path, long long lowest,
                    long long highest) {
    const std::string range = std::to_string(lowest) + " to " + std::to_string(highest);
    const auto outOfRange = [&] {
        return Error(path, "expected an integer from " + range + ", got " + Describe(value));
    };
    if (value.is_number_unsigned()) {
        const auto number = value.get<unsigned long long>();
        if (number > static_cast<unsigned long long>(highest)) {
            throw outOfRange();
        }
        return static_cast<long long>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<long long>();
        if (number < lowest || number > highest) {
            throw outOfRange();
        }
        return number;
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || number != std::floor(number)) {
            throw Error(path, "expected an integer, got " + Describe(value));
        }
        // Both bounds are exact doubles for the types read here.
        if (number < static_cast<double>(lowest) || number > static_cast<double>(highest)) {
            throw outOfRange();
        }
        return static_cast<long long>(number);
    }
    throw Error(path, "expected an integer, got " + Describe(value));
}

// "unknown clock source 5; known: 200MHz, ..., or an integer code from 0 to 3"
std::string UnknownCode(const CodeNames& names, const std::string& shown) {
    std::string text = "unknown " + std::string(names.what) + " " + shown + "; known: ";
    for (std::size_t i = 0; i < names.count; ++i) {
        text += std::string(names.names[i]) + ", ";
    }
    text += "or an integer code";
    if (names.closed) {
        text += " from 0 to " + std::to_string(names.count - 1);
    }
    return text;
}

bool IsNamedCode(long long code, const CodeNames& names) {
    return code >= 0 && static_cast<unsigned long long>(code) < names.count;
}

const std::string& StringAt(const Json& value, const std::string& path) {
    if (!value.is_string()) {
        throw Error(path, "expected a string, got " + Describe(value));
    }
    const std::string& text = value.get_ref<const std::string&>();
    if (text.find('\0') != std::string::npos) {
        throw Error(path, "text holds a NUL character");
    }
    return text;
}

// The file is UTF-8 JSON: a text the host holds in another encoding would
// make the whole file unwritable, so it is refused here with its key path.
void CheckWritable(const std::string& text, const std::string& path) {
    if (text.find('\0') != std::string::npos) {
        throw Error(path, "text holds a NUL character");
    }
    try {
        (void)Json(text).dump();
    } catch (const Json::type_error&) {
        throw Error(path, "text is not valid UTF-8");
    }
}

}  // namespace

// Closed: the instrument takes only the low two bits of a clock-source code,
// while the host converts times at 200 MHz for any other than 0 to 3, so the
// two would disagree on every time of the pair.
const CodeNames kClockNames = {kClocks, std::size(kClocks), "clock source", true};
const CodeNames kKindNames = {kKinds, std::size(kKinds), "trigger kind"};
const CodeNames kValueModeNames = {kValueModes, std::size(kValueModes), "value mode"};

std::string Join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

std::string Describe(const Json& value) {
    if (value.is_object()) {
        return "an object";
    }
    if (value.is_array()) {
        return "an array";
    }
    std::string shown = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (shown.size() > kShownLength) {
        std::size_t cut = kShownLength - 3;
        // Never end inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        shown = shown.substr(0, cut) + "...";
    }
    return shown;
}

Reader::Reader(const Json& object, std::string path) : m_Object(object), m_Path(std::move(path)) {}

const Json& Reader::ObjectAt(const Json& value, const std::string& path) {
    if (!value.is_object()) {
        throw Error(path, "expected an object, got " + Describe(value));
    }
    return value;
}

const Json* Reader::Take(const char* key) {
    const auto found = m_Object.find(key);
    if (found == m_Object.end()) {
        return nullptr;
    }
    m_Taken.insert(key);
    return &*found;
}

void Reader::Finish(const std::string& hint) const {
    for (const auto& item : m_Object.items()) {
        if (m_Taken.count(item.key()) == 0) {
            throw Error(Join(m_Path, item.key()), "unknown key" + hint);
        }
    }
}

void Reader::Number(const char* key, double& value) {
    if (const Json* found = Take(key)) {
        if (!found->is_number()) {
            throw Error(Join(m_Path, key), "expected a number, got " + Describe(*found));
        }
        value = found->get<double>();
    }
}

void Reader::Time(const char* key, double& value) {
    const Json* found = Take(key);
    if (found == nullptr) {
        return;
    }
    if (found->is_number()) {
        value = found->get<double>();
        return;
    }
    try {
        if (!found->is_string()) {
            throw std::invalid_argument(ExpectedTime());
        }
        value = ParseTime(found->get_ref<const std::string&>());
    } catch (const std::invalid_argument& refused) {
        throw Error(Join(m_Path, key), std::string(refused.what()) + "; got " + Describe(*found));
    }
}

void Reader::Flag(const char* key, bool& value) {
    if (const std::optional<bool> given = OptionalFlag(key)) {
        value = *given;
    }
}

std::optional<bool> Reader::OptionalFlag(const char* key) {
    if (const Json* found = Take(key)) {
        if (!found->is_boolean()) {
            throw Error(Join(m_Path, key), "expected true or false, got " + Describe(*found));
        }
        return found->get<bool>();
    }
    return std::nullopt;
}

void Reader::Word(const char* key, bool& value, const char* whenTrue, const char* whenFalse) {
    if (const Json* found = Take(key)) {
        if (*found == whenTrue || *found == whenFalse) {
            value = *found == whenTrue;
            return;
        }
        // The default (false) first: "on" or "off", "unlocked" or "locked".
        throw Error(Join(m_Path, key), "expected \"" + std::string(whenFalse) + "\" or \"" +
                                           whenTrue + "\", got " + Describe(*found));
    }
}

void Reader::Former(const char* key, const char* current, bool& value) {
    if (m_Object.contains(key) && m_Object.contains(current)) {
        throw Error(Join(m_Path, key), "replaced by \"" + std::string(current) +
                                           "\", which is given too: keep only \"" + current + "\"");
    }
    Flag(key, value);
}

void Reader::Int(const char* key, int& value) {
    if (const Json* found = Take(key)) {
        value =
            static_cast<int>(IntegerAt(*found, Join(m_Path, key), std::numeric_limits<int>::min(),
                                       std::numeric_limits<int>::max()));
    }
}

void Reader::Byte(const char* key, unsigned char& value) {
    if (const Json* found = Take(key)) {
        value = static_cast<unsigned char>(IntegerAt(*found, Join(m_Path, key), 0, 255));
    }
}

void Reader::Coded(const char* key, int& value, const CodeNames& names) {
    const Json* found = Take(key);
    if (found == nullptr) {
        return;
    }
    const std::string path = Join(m_Path, key);
    if (found->is_string()) {
        const std::string& name = found->get_ref<const std::string&>();
        for (std::size_t i = 0; i < names.count; ++i) {
            if (name == names.names[i]) {
                value = static_cast<int>(i);
                return;
            }
        }
        throw Error(path, UnknownCode(names, Describe(*found)));
    }
    if (!found->is_number()) {
        throw Error(path, "expected a " + std::string(names.what) +
                              " name or an integer code, got " + Describe(*found));
    }
    const long long code =
        IntegerAt(*found, path, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (names.closed && !IsNamedCode(code, names)) {
        throw Error(path, UnknownCode(names, std::to_string(code)));
    }
    value = static_cast<int>(code);
}

void Reader::Text(const char* key, char (&text)[kTextSize]) {
    if (const Json* found = Take(key)) {
        const std::string& value = StringAt(*found, Join(m_Path, key));
        if (value.size() >= kTextSize) {
            throw Error(Join(m_Path, key), "text too long: " + std::to_string(value.size()) +
                                               " bytes, at most " + std::to_string(kTextSize - 1));
        }
        // Zero-filled past the text, as a fresh record is.
        std::memset(text, 0, kTextSize);
        std::memcpy(text, value.data(), value.size());
    }
}

std::optional<std::string> Reader::String(const char* key) {
    if (const Json* found = Take(key)) {
        return StringAt(*found, Join(m_Path, key));
    }
    return std::nullopt;
}

Writer::Writer(Json& object, std::string path) : m_Object(object), m_Path(std::move(path)) {}

void Writer::Number(const char* key, double value) {
    // JSON has no NaN or infinity; the file would read back as null.
    if (!std::isfinite(value)) {
        throw Error(Join(m_Path, key), "not a finite number");
    }
    m_Object[key] = value;
}

void Writer::Flag(const char* key, bool value) {
    m_Object[key] = value;
}

void Writer::Word(const char* key, bool value, const char* whenTrue, const char* whenFalse) {
    m_Object[key] = value ? whenTrue : whenFalse;
}

void Writer::Int(const char* key, int value) {
    m_Object[key] = value;
}

void Writer::Byte(const char* key, unsigned char value) {
    m_Object[key] = static_cast<int>(value);
}

void Writer::Coded(const char* key, int value, const CodeNames& names) {
    if (IsNamedCode(value, names)) {
        m_Object[key] = names.names[value];
    } else if (names.closed) {
        // The file would not read back.
        throw Error(Join(m_Path, key), UnknownCode(names, std::to_string(value)));
    } else {
        m_Object[key] = value;
    }
}

void Writer::Text(const char* key, const char (&text)[kTextSize]) {
    const std::size_t length = strnlen(text, kTextSize);
    if (length == kTextSize) {
        throw Error(Join(m_Path, key),
                    "text is not terminated within " + std::to_string(kTextSize - 1) + " bytes");
    }
    String(key, std::string(text, length));
}

void Writer::String(const char* key, const std::string& text) {
    CheckWritable(text, Join(m_Path, key));
    m_Object[key] = text;
}

}  // namespace veltor::setup::detail
