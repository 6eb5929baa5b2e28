// The two sides of one field table. Each record of a setup is described once,
// as a function template that names its fields in file order on a visitor:
// a Reader fills the record from a JSON object (checking each value and
// naming its key path when it refuses one), a Writer puts the record into a
// JSON object in that same order. Both offer the same members, so one table
// serves reading and writing and the two cannot drift apart.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "setup/Setup.h"

namespace veltor::setup::detail {

using Json = nlohmann::ordered_json;

// Names of the small integer codes a file spells out. An open set takes any
// other value of the code as an integer in the file; a closed one only the
// codes its names stand for (0 to count - 1), in either form.
struct CodeNames {
    const char* const* names;
    std::size_t count;
    const char* what;  // "clock source", for messages
    bool closed = false;
};

extern const CodeNames kClockNames;
extern const CodeNames kKindNames;
extern const CodeNames kValueModeNames;

// The text buffers of the records: a C string of at most 4095 bytes.
constexpr std::size_t kTextSize = 4096;

std::string Join(const std::string& path, const std::string& key);
// A value as a message shows it: JSON text for scalars (cut when long), "an
// object" or "an array" otherwise.
std::string Describe(const Json& value);

class Reader {
public:
    // `object` must be a JSON object; it must outlive the reader.
    Reader(const Json& object, std::string path);

    const std::string& Path() const { return m_Path; }

    void Number(const char* key, double& value);
    // Seconds: a number, or a string with a unit (ParseTime).
    void Time(const char* key, double& value);
    void Flag(const char* key, bool& value);
    // A flag spelt as one of two words: `whenTrue` sets it, `whenFalse`
    // clears it.
    void Word(const char* key, bool& value, const char* whenTrue, const char* whenFalse);
    // A key that `current` replaced, still read as a flag; refused beside
    // `current`. Nothing is written under it.
    void Former(const char* key, const char* current, bool& value);
    void Int(const char* key, int& value);
    void Byte(const char* key, unsigned char& value);
    void Coded(const char* key, int& value, const CodeNames& names);
    void Text(const char* key, char (&text)[kTextSize]);
    // Absent: nullopt. Any length; no NUL character, since the host objects
    // take C strings and would cut the text there.
    std::optional<std::string> String(const char* key);
    // Absent: nullopt.
    std::optional<bool> OptionalFlag(const char* key);

    template <class Fn>
    void Group(const char* key, Fn&& fill) {
        if (const Json* value = Take(key)) {
            Reader group(ObjectAt(*value, Join(m_Path, key)), Join(m_Path, key));
            fill(group);
            group.Finish();
        }
    }

    // The value of `key`, counted as read; null when absent.
    const Json* Take(const char* key);
    // Refuses the first key (in file order) that nothing took. `hint` is
    // added to the message.
    void Finish(const std::string& hint = std::string()) const;

    // `value` when it is an object; throws Error at `path` otherwise.
    static const Json& ObjectAt(const Json& value, const std::string& path);

private:
    const Json& m_Object;
    std::string m_Path;
    std::set<std::string> m_Taken;
};

class Writer {
public:
    Writer(Json& object, std::string path);

    void Number(const char* key, double value);
    // Always a number of seconds.
    void Time(const char* key, double value) { Number(key, value); }
    void Flag(const char* key, bool value);
    void Word(const char* key, bool value, const char* whenTrue, const char* whenFalse);
    void Former(const char*, const char*, bool) {}
    void Int(const char* key, int value);
    void Byte(const char* key, unsigned char value);
    void Coded(const char* key, int value, const CodeNames& names);
    void Text(const char* key, const char (&text)[kTextSize]);
    void String(const char* key, const std::string& text);

    template <class Fn>
    void Group(const char* key, Fn&& put) {
        Json group = Json::object();
        Writer writer(group, Join(m_Path, key));
        put(writer);
        m_Object[key] = std::move(group);
    }

private:
    Json& m_Object;
    std::string m_Path;
};

}  // namespace veltor::setup::detail
