#pragma once

// A reference model of the command-line rules, written for clarity rather
// than speed and independently of the library's splitter, which the
// randomized test and the fuzzer compare against it.

#include <algorithm>
#include <string>
#include <vector>

namespace splitmodel {

struct ModelArg {
    std::string text;
    char quote;  // the governing quote, or 0
};

// Words are runs of non-spaces; a head with an odd number of its governing
// quote joins words up to the first one holding that quote; a quote-free head
// holding the keyword takes the next word; the governing quote is deleted
// from the whole argument.
inline std::vector<ModelArg> Model(const std::string& line)
{
    std::vector<std::string> words;
    std::string cur;
    for (char c : line) {
        if (c == ' ') {
            if (!cur.empty())
                words.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        words.push_back(cur);

    std::vector<ModelArg> out;
    size_t w = 0;
    while (w < words.size()) {
        std::string head = words[w++];
        std::string text = head;
        char quote = head.find('"') != std::string::npos    ? '"'
                     : head.find('\'') != std::string::npos ? '\''
                                                            : 0;
        if (quote != 0) {
            if (std::count(head.begin(), head.end(), quote) % 2 == 1) {
                while (w < words.size()) {
                    text += " " + words[w];
                    if (words[w++].find(quote) != std::string::npos)
                        break;
                }
            }
            text.erase(std::remove(text.begin(), text.end(), quote), text.end());
        } else if (head.find("--stop-datetime") != std::string::npos && w < words.size()) {
            text += " " + words[w++];
        }
        out.push_back({text, quote});
    }
    return out;
}

}  // namespace splitmodel
