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
#include <cstdlib>
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

inline Pattern labels(const std::string &name)
{
    Pattern out;
    std::istringstream parts(name);
    for (std::string label; std::getline(parts, label, '.');) {
        out.push_back(static_cast<int>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    return out;
}

// query: the datagram a reply template answers (ID, ID^ and QD need it).
inline Pattern parsePattern(const std::string &text, const Bytes &query = Bytes())
{
    Pattern out;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        if (w.rfind("name:", 0) == 0) {
            Pattern name = labels(unescape(w.substr(5)));
            out.insert(out.end(), name.begin(), name.end());
        } else if (w[0] == '\'') {
            const std::string t = unescape(w.substr(1));
            for (unsigned char c : t)
                out.push_back(c);
        } else if (w == "ID" || w == "ID^") {
            const int flip = w == "ID" ? 0 : 0xFF;
            out.push_back(query.at(0) ^ flip);
            out.push_back(query.at(1) ^ flip);
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
    Pattern p = parsePattern(text, query);
    return Bytes(p.begin(), p.end());
}

inline bool matches(const Pattern &p, const Bytes &b)
{
    if (p.size() != b.size())
        return false;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] != ANY_BYTE && p[i] != b[i])
            return false;
    }
    return true;
}

inline std::string hexOf(const Bytes &b)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

#endif
