// The console's page, script, style and login form, built into the binary
// from web/ so the daemon is the one thing to deploy.
#pragma once

#include <string_view>

struct web_asset {
    std::string_view path;  // the URL path it is served at
    std::string_view type;  // its Content-Type
    std::string_view body;
};

// The asset served at path, or null.
const web_asset* web_asset_find(std::string_view path);
