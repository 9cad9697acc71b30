// Base64 as the browser protocol uses it for bodies and binary payloads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

std::string EncodeBase64(std::string_view bytes);
// nullopt for text that is not base64 (a wrong character or length).
std::optional<std::string> DecodeBase64(std::string_view text);
