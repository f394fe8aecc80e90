// The seven messages as one type list, and what the tool reads off their field lists.
#pragma once

#include "dhcp/srg_opq_dhcpv4_msg.hpp"
#include "dhcp/srg_opq_dhcpv6_msg.hpp"
#include "srg/srg_cmd_msg.hpp"
#include "srg/srg_neg_msg.hpp"
#include "srg/srg_sync_msg.hpp"

#include <kest.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kest::tool {

template <class... R>
struct type_list {};
using messages = type_list<srg_opaque, srg_cmd_msg, srg_sync_msg, srg_neg_msg, srg_opq_dhcpv4_msg, ia_id_msg,
                           srg_opq_dhcpv6_msg>;

template <class R>
constexpr std::string_view name_of = core::schema<R>::name;

template <class F>
constexpr std::string_view kind_of = F::kind::name;

// Members are named after field numbers: f13, and f13_len or n_f13 beside it.
template <class F>
std::string member_name() {
    return "f" + std::to_string(F::tag::number);
}

// Calls fn.template operator()<R>() for the message called `name`; false if there is none.
template <class Fn>
bool visit_message(std::string_view name, Fn &&fn) {
    return [&]<class... R>(type_list<R...>) {
        return ((name == name_of<R> ? (fn.template operator()<R>(), true) : false) || ...);
    }(messages{});
}

inline std::vector<std::string> message_names() {
    return []<class... R>(type_list<R...>) {
        return std::vector<std::string>{std::string(name_of<R>)...};
    }(messages{});
}

}  // namespace kest::tool
