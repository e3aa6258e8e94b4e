// The conversion cases shared by every test suite, read from tests/cases.txt
// (its head says how they are written). ROWPATCHER_CASES names the file.
#pragma once

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

struct ConversionCase {
    std::string kind; // "line" or "stream"
    std::string what;
    std::string input;
    std::string output;
};

inline std::string unescaped(const std::string &text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        const char escape = text.at(++i);
        switch (escape) {
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case 't': bytes += '\t'; break;
        case '0': bytes += '\0'; break;
        case '\\': bytes += '\\'; break;
        case 'x':
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default: throw std::runtime_error("unknown escape in " + text);
        }
    }
    return bytes;
}

inline std::vector<ConversionCase> read_cases(const char *path = ROWPATCHER_CASES)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    std::vector<ConversionCase> cases;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "line" || key == "stream") {
            cases.push_back({key, text, "", ""});
            continue;
        }
        const std::size_t star = key.find('*');
        const std::string field = key.substr(0, star);
        if (cases.empty() || (field != "input" && field != "output")) {
            throw std::runtime_error("not a case line: " + line);
        }
        const int times = star == std::string::npos ? 1 : std::stoi(key.substr(star + 1));
        const std::string bytes = unescaped(text);
        std::string &into = field == "input" ? cases.back().input : cases.back().output;
        for (int i = 0; i < times; ++i) {
            into += bytes;
        }
    }
    return cases;
}

// The cases of one kind, or all of them.
inline std::vector<ConversionCase> cases_of(const std::string &kind = "")
{
    std::vector<ConversionCase> chosen;
    for (ConversionCase &c : read_cases()) {
        if (kind.empty() || c.kind == kind) {
            chosen.push_back(std::move(c));
        }
    }
    return chosen;
}

inline void PrintTo(const ConversionCase &c, std::ostream *out)
{
    *out << c.what;
}
