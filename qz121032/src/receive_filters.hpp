#pragma once
// The receive filters of a client (raw CAN or J1939): a list of filters, a filter type and
// a state. The client guards them with its own mutex.

#include <algorithm>
#include <vector>

namespace qz121032 {

enum class FilterState { DiscardAll = 0, PassAll = 1, UseList = 2 };

// Filter: a record with `bool matches(const Message&) const`.
template <class Filter>
struct ReceiveFilters {
    std::vector<Filter> filters;
    bool inclusive = true;  // filter type: matching messages pass (else they are dropped)
    FilterState state = FilterState::DiscardAll;

    // State 0 drops everything, state 1 passes everything; with the list (state 2) a
    // message passes when whether some filter matches it equals the filter type.
    template <class Message>
    bool passes(const Message& message) const {
        switch (state) {
            case FilterState::DiscardAll:
                return false;
            case FilterState::PassAll:
                return true;
            case FilterState::UseList:
                break;
        }
        const bool match = std::any_of(filters.begin(), filters.end(),
                                       [&](const Filter& f) { return f.matches(message); });
        return match == inclusive;
    }

    // Set_All_Filters_States_to_Pass / _to_Discard: the list is emptied.
    void set_all(bool pass) {
        filters.clear();
        state = pass ? FilterState::PassAll : FilterState::DiscardAll;
    }

    // The filter-setting commands: the list is used from now on, with these appended.
    void append(const std::vector<Filter>& added) {
        state = FilterState::UseList;
        filters.insert(filters.end(), added.begin(), added.end());
    }
};

}  // namespace qz121032
