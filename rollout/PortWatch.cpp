// Port patterns and the watch that turns listings into appear and disappear events.
#include "rollout/PortWatch.h"

#include <set>

namespace {

char Fold(char c, bool fold) { return fold && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool WildcardMatch(const std::string& pattern, const std::string& text, bool foldCase) {
    // Iterative, with one backtrack point: the last "*" and where its run began.
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p], foldCase) == Fold(text[t], foldCase))) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<PortChange> PortWatch::Look(Clock::time_point now) {
    const std::vector<std::string> listed = lister_();
    const std::set<std::string> present(listed.begin(), listed.end());
    std::vector<PortChange> changes;
    for (auto it = seen_.begin(); it != seen_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        // A port that never settled goes without a word: nobody was told it came.
        if (it->second.appeared) changes.push_back({PortChange::Kind::Disappeared, it->first});
        it = seen_.erase(it);
    }
    for (const std::string& port : present) {
        Seen& seen = seen_.try_emplace(port, Seen{now, false}).first->second;
        if (!seen.appeared && now - seen.since >= settle_) {
            seen.appeared = true;
            changes.push_back({PortChange::Kind::Appeared, port});
        }
    }
    return changes;
}

bool PortWatch::Present(const std::string& port) const {
    const auto it = seen_.find(port);
    return it != seen_.end() && it->second.appeared;
}
