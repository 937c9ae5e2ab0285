#pragma once
// Batch forms: element i of the result is the single form of element i.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zemo::text {

std::vector<std::string> batch_to_storage_form(std::span<const std::string_view> inputs);
std::vector<std::string> batch_to_match_form(std::span<const std::string_view> inputs);
std::vector<std::string> batch_to_ascii_form(std::span<const std::string_view> inputs);

}  // namespace zemo::text
