// The command line and the writers of tarvexctl against any bytes: the
// input is a list of arguments separated by NUL bytes. The parser must
// answer with options or a reason, never both and never neither; every
// argument, read as a list entry, must come out of the text writer with no
// byte a terminal would obey and out of the JSON writer as one well-formed
// string.
#include "json_text.h"
#include "options.h"
#include "reader_info.h"

#include <cstdlib>
#include <string>
#include <vector>

using namespace tarvexctl;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// No C0 control, DEL or UTF-8 C1 control may reach a terminal.
void checkPrintable(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        check(c >= 0x20 && c != 0x7F);
        if (c == 0xC2 && i + 1 < text.size())
            check(static_cast<unsigned char>(text[i + 1]) >= 0xA0 || static_cast<unsigned char>(text[i + 1]) < 0x80);
    }
}

// A JSON string literal: quoted, no raw control character inside, every
// backslash starting an escape.
void checkJsonString(const std::string& s)
{
    check(s.size() >= 2 && s.front() == '"' && s.back() == '"');
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        check(c >= 0x20 && c != '"');
        if (c == '\\') {
            ++i;
            check(i + 1 < s.size());
            check(std::string("\"\\/bfnrtu").find(s[i]) != std::string::npos);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    args.push_back(current);

    const ParseResult parsed = parseArguments(args);
    // A parse either succeeds or says why.
    if (!parsed.error.empty())
        checkPrintable(printable(parsed.error));
    else
        check(!std::string(commandName(parsed.options.command)).empty());

    for (const std::string& a : args) {
        checkPrintable(printable(a, true));
        checkPrintable(printable(a, false));
        checkJsonString(jsonString(a));
        const ReaderInfo r = readerInfo(a);
        checkPrintable(textLine(r));
        const std::string j = jsonLine(r, "added", "2026-12-11T00:00:00.000Z");
        check(j.size() >= 2 && j.front() == '{' && j.back() == '}');
    }
    return 0;
}
