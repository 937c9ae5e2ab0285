#include "text/batch.hpp"

#include "text/forms.hpp"

namespace zemo::text {

namespace detail {

template <std::string (*Form)(std::string_view)>
std::vector<std::string> map_all(std::span<const std::string_view> inputs) {
    std::vector<std::string> out;
    out.reserve(inputs.size());
    for (std::string_view s : inputs) out.push_back(Form(s));
    return out;
}

}  // namespace detail

std::vector<std::string> batch_to_storage_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&to_storage_form>(inputs);
}

std::vector<std::string> batch_to_match_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&to_match_form>(inputs);
}

std::vector<std::string> batch_to_ascii_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&to_ascii_form>(inputs);
}

}  // namespace zemo::text
