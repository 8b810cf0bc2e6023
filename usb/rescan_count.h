// The rescan count of the USB access routines: how many busses or devices came or went.
#pragma once

#include <algorithm>
#include <iterator>
#include <set>
#include <vector>

namespace quillmar {

// How many members appeared in or vanished from `known` since the last scan; `known` becomes
// `now`, so the next scan counts from here.
template <typename T>
int rescan_count(std::set<T>& known, std::set<T> now) {
    std::vector<T> difference;
    std::set_symmetric_difference(known.begin(), known.end(), now.begin(), now.end(),
                                  std::back_inserter(difference));
    known = std::move(now);
    return static_cast<int>(difference.size());
}

}  // namespace quillmar
