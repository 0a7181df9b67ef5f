// Regular expressions in the VBScript/JavaScript dialect over GBK texts: the last execute's pattern, subject
// and matches stay readable until the next execute. Indexes are 1-based; anything out of range reads as empty.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace velpic {

class Regex {
public:
    Regex();
    ~Regex();
    // A copy shares the compiled pattern and the matches of the last execute.
    Regex(const Regex&);
    Regex& operator=(const Regex&);

    // False when the pattern does not compile (nothing is readable then); true otherwise, even without a match.
    // hash_as_quote turns every "#" of the pattern into a double quote first. global false keeps the first match.
    bool execute(std::string_view pattern, std::string_view text, bool case_sensitive = false, bool multiline = true,
                 bool global = true, bool hash_as_quote = false);
    void reserved() const {}
    std::string get_pattern() const;
    // $1..$99, $&, $`, $', $$ in the replacement; replaces the matches of the last execute.
    std::string replace(std::string_view replacement) const;
    long match_count() const;
    // position (when given) receives the 0-based byte offset of the returned text in the subject, -1 when none.
    std::string match_text(long match, long* position = nullptr) const;
    std::string submatch_text(long match, long group, long* position = nullptr) const;
    // Number of groups of the first match; 0 without a match.
    long submatch_count() const;
    // Index of the match in UTF-16 units of the subject, -1 when none.
    long first_index(long match) const;

private:
    struct State;
    std::string group_text(long match, long group, long* position) const;
    std::shared_ptr<const State> state_;
};

} // namespace velpic
