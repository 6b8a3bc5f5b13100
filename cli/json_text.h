// JSON output: strings escaped for any bytes a reader or port name may hold,
// and a small builder for the flat objects the tool prints. Reader names are
// the system's bytes; what is valid UTF-8 passes unchanged, control
// characters are escaped, and bytes that are no UTF-8 become U+FFFD, so the
// output is always well-formed JSON in UTF-8.
#pragma once
#include <optional>
#include <string>

namespace tarvexctl {

// `text` as a JSON string literal, quotes included.
std::string jsonString(const std::string& text);

// One JSON object on one line, fields in the order they are added.
class JsonObject {
public:
    JsonObject& add(const char* name, const std::string& value);
    JsonObject& add(const char* name, const char* value) { return add(name, std::string(value)); }
    // null when absent.
    JsonObject& add(const char* name, const std::optional<std::string>& value);
    JsonObject& add(const char* name, double value, int decimals);
    JsonObject& add(const char* name, bool value);
    std::string str() const { return text_ + "}"; }

private:
    void key(const char* name);
    std::string text_ = "{";
};

// Now, in UTC, as ISO 8601 with milliseconds: "2026-12-11T17:45:12.345Z".
std::string utcTimestamp();

// The text for a person's terminal: control characters, C0 and C1 (which
// could move the cursor or change colours), and the backslash written as
// \xNN, everything else as it is. Where names are UTF-8 (`utf8`), bytes
// that are no UTF-8 are written as \xNN too; elsewhere they are the code
// page's characters.
std::string printable(const std::string& text, bool utf8);
std::string printable(const std::string& text); // with this system's text encoding

} // namespace tarvexctl
