// KeyValueList: an ordered list of (key, value) texts. It is the payload of
// every admin message and the line format of the saved exports file.
//
// Text form: one line per pair, "key=value\n", in list order. Keys are made
// of letters, digits, '.', '_' and '-' and are never empty. Values are any
// bytes; backslash, newline, tab, carriage return and NUL are written as
// \\ \n \t \r \0 so that every pair stays on one line.
//
// A value type: copyable, not thread-safe (each thread uses its own).
#pragma once
#include <string>
#include <utility>
#include <vector>

class KeyValueList {
public:
    typedef std::vector<std::pair<std::string, std::string>> Pairs;

    // Appends a pair. The key must satisfy IsValidKey (checked by Encode).
    void Add(const std::string& key, const std::string& value);
    // True and the first value of key; value untouched when absent.
    bool Get(const std::string& key, std::string& value) const;
    bool Has(const std::string& key) const;
    // Every value of key, in list order.
    std::vector<std::string> GetAll(const std::string& key) const;
    const Pairs& pairs() const { return pairs_; }
    bool empty() const { return pairs_.empty(); }

    // The text form. A pair with an invalid key is left out (callers use
    // constant keys, so this never loses data in practice).
    std::string Encode() const;
    // Replaces the list with the pairs of text. False, the list emptied and
    // a reason naming the line ("line 3: ...") when text is not well formed.
    bool Decode(const std::string& text, std::string& error);

    static bool IsValidKey(const std::string& key);
    static std::string Escape(const std::string& value);
    // False for an unknown escape or a trailing lone backslash.
    static bool Unescape(const std::string& text, std::string& value);

private:
    Pairs pairs_;
};
