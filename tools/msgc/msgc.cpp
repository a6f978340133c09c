// Compiles the readable message source into the binary message table.
//
// Source: one message per line, "NUMBER<TAB>text"; '#' starts a comment line; in the
// text, \n, \t and \\ are escapes. Numbers not listed get an empty text.
// Table (little-endian): count, text block size, count offsets into the block, then
// the block of NUL-terminated UTF-16 texts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kCount = 1270;

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
    std::cerr << where << ": " << what << '\n';
    std::exit(1);
}

std::u16string Utf8ToUtf16(const std::string& in, const std::string& where)
{
    std::u16string out;
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; n = 2; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; n = 3; }
        else if ((c >> 3) == 30) { cp = c & 0x07; n = 4; }
        else Fail(where, "invalid UTF-8");
        if (i + n > in.size()) Fail(where, "truncated UTF-8");
        for (size_t k = 1; k < n; ++k) {
            unsigned char t = static_cast<unsigned char>(in[i + k]);
            if ((t >> 6) != 2) Fail(where, "invalid UTF-8");
            cp = (cp << 6) | (t & 0x3F);
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Unescape(const std::string& text, const std::string& where)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') { out.push_back(text[i]); continue; }
        if (++i == text.size()) Fail(where, "backslash at end of line");
        switch (text[i]) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case '\\': out.push_back('\\'); break;
        default: Fail(where, std::string("unknown escape \\") + text[i]);
        }
    }
    return out;
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: transvia_msgc SOURCE.txt OUTPUT.msg\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) Fail(argv[1], "cannot open");

    std::map<uint32_t, std::u16string> texts;
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        const std::string where = std::string(argv[1]) + ":" + std::to_string(lineNo);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) Fail(where, "expected NUMBER<TAB>text");
        char* end = nullptr;
        unsigned long number = std::strtoul(line.c_str(), &end, 10);
        if (end != line.c_str() + tab) Fail(where, "bad message number");
        if (number >= kCount) Fail(where, "message number beyond the table");
        if (!texts.emplace(static_cast<uint32_t>(number), Utf8ToUtf16(Unescape(line.substr(tab + 1), where), where)).second)
            Fail(where, "message number given twice");
    }

    // Offset 0 holds the one empty text every unlisted number shares.
    std::vector<char16_t> block{u'\0'};
    std::vector<uint32_t> offsets(kCount, 0);
    for (const auto& [number, text] : texts) {
        offsets[number] = static_cast<uint32_t>(block.size() * sizeof(char16_t));
        block.insert(block.end(), text.begin(), text.end());
        block.push_back(u'\0');
    }

    std::vector<uint8_t> out;
    Put32(out, kCount);
    Put32(out, static_cast<uint32_t>(block.size() * sizeof(char16_t)));
    for (uint32_t offset : offsets) Put32(out, offset);
    for (char16_t c : block) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }

    const std::string temp = std::string(argv[2]) + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0)
        Fail(argv[2], "cannot write");
    if (std::rename(temp.c_str(), argv[2]) != 0) Fail(argv[2], "cannot rename");
    return 0;
}
