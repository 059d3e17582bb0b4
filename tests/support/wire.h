// The little language the case tables use for bytes and texts.
//
// Texts: \n \t \\ \xHH as in C, and {c*N} for N copies of the character c.
// Byte patterns, words separated by blanks:
//   0A000001     hex digits, two per byte       ??      any byte (expectations)
//   00*32 ??*9   a byte (or wildcard) N times   'abc    the text's bytes
//   name:a.b     the name as labels ending in the root
//   ID ID^ QD    the query's identifier, its complement, its question section
#ifndef VINTREL_TEST_WIRE_H
#define VINTREL_TEST_WIRE_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;
typedef std::vector<int> Pattern;  // bytes, -1 for "any byte"
const int ANY_BYTE = -1;

// With escapes false only the {c*N} repeats are expanded.
inline std::string unescape(const std::string &in, bool escapes = true)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '{' && i + 3 < in.size() && in[i + 2] == '*') {
            const size_t close = in.find('}', i);
            out.append(std::stoul(in.substr(i + 3, close - i - 3)), in[i + 1]);
            i = close;
        } else if (escapes && c == '\\' && i + 1 < in.size()) {
            const char e = in[++i];
            if (e == 'x') {
                out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            }
        } else {
            out += c;
        }
    }
    return out;
}

// query: the datagram a reply template answers (ID, ID^ and QD need it).
inline Pattern parsePattern(const std::string &text, const Bytes &query = Bytes())
{
    Pattern out;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        if (w.rfind("name:", 0) == 0) {
            std::istringstream parts(unescape(w.substr(5)));
            for (std::string label; std::getline(parts, label, '.');) {
                out.push_back(static_cast<int>(label.size()));
                out.insert(out.end(), label.begin(), label.end());
            }
            out.push_back(0);
        } else if (w[0] == '\'') {
            for (unsigned char c : unescape(w.substr(1)))
                out.push_back(c);
        } else if (w == "ID" || w == "ID^") {
            for (int i : {0, 1})
                out.push_back(query.at(i) ^ (w == "ID" ? 0 : 0xFF));
        } else if (w == "QD") {
            out.insert(out.end(), query.begin() + 12, query.end());
        } else {
            const size_t star = w.find('*');
            const std::string digits = w.substr(0, star);
            const size_t times = star == std::string::npos ? 1 : std::stoul(w.substr(star + 1));
            if (digits.size() % 2 != 0)
                throw std::invalid_argument("odd hex word " + w);
            for (size_t n = 0; n < times; ++n) {
                for (size_t i = 0; i < digits.size(); i += 2) {
                    const std::string pair = digits.substr(i, 2);
                    out.push_back(pair == "??" ? ANY_BYTE : std::stoi(pair, nullptr, 16));
                }
            }
        }
    }
    return out;
}

inline Bytes parseBytes(const std::string &text, const Bytes &query = Bytes())
{
    const Pattern p = parsePattern(text, query);
    return Bytes(p.begin(), p.end());
}

inline bool matches(const Pattern &p, const Bytes &b)
{
    size_t i = 0;
    while (i < p.size() && i < b.size() && (p[i] == ANY_BYTE || p[i] == b[i]))
        ++i;
    return i == p.size() && i == b.size();
}

inline std::string hexOf(const Bytes &b)
{
    std::string out;
    char two[4];
    for (uint8_t c : b)
        out += std::string(two, static_cast<size_t>(snprintf(two, sizeof two, "%02X ", c)));
    return out;
}

// The lines of a case table without comments and blank lines. A line
// "def NAME = text" is not a case: later lines may write $NAME for the text.
inline std::vector<std::string> tableLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::map<std::string, std::string> defs;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        for (const auto &d : defs) {
            for (size_t at; (at = line.find("$" + d.first)) != std::string::npos;)
                line.replace(at, d.first.size() + 1, d.second);
        }
        const size_t eq = line.find(" = ");
        if (line.rfind("def ", 0) == 0)
            defs[line.substr(4, eq - 4)] = line.substr(eq + 3);
        else if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    }
    return lines;
}

#endif
