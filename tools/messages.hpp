// What the tool reads off the list of messages and their field lists.
#pragma once

#include "srg/srg.kest.hpp"

#include <kest.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kest::tool {

template <class F>
constexpr core::kind kind_of = F::what;

// Members are named after field numbers: f13, and f13_len or n_f13 beside it.
template <class F>
std::string member_name() {
    std::string name = "f";  // appended: g++ 12 warns falsely on "f" + std::string at -O3
    return name += std::to_string(F::tag::number);
}

// Calls fn.template operator()<R>() for the message called `name`; false if there is none.
template <class Fn>
bool visit_message(std::string_view name, Fn &&fn) {
    bool found = false;
    for_each_message([&]<class R>() {
        if (!found && name == name_of<R>) {
            found = true;
            fn.template operator()<R>();
        }
    });
    return found;
}

inline std::vector<std::string> message_names() {
    std::vector<std::string> names;
    for_each_message([&]<class R>() { names.emplace_back(name_of<R>); });
    return names;
}

}  // namespace kest::tool
