// The files of the server's page, compiled into the executable from tools/vorn-profile/page/.
#pragma once

#include <span>
#include <string_view>

namespace vorn_cli {

struct ServeAsset {
    std::string_view name;  ///< file name, as the page asks for it
    std::string_view content_type;
    std::string_view bytes;
};

std::span<const ServeAsset> serve_assets();

}  // namespace vorn_cli
