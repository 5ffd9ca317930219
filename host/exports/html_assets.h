// The parts of the HTML report's page, embedded at build time from host/html/ and from Debian's
// node-d3-hierarchy package (cmake/EmbedText.cmake generates their definitions).
#pragma once

#include <string_view>

namespace ketterlin::host::html {

// The page's markup, with the markers @TITLE@, @STYLE@, @DATA@, @LAYOUT_LIBRARY@ and @SCRIPT@
// where the writer puts its parts.
extern const std::string_view kPageTemplate;
extern const std::string_view kPageStyle;      // host/html/treemap.css
extern const std::string_view kPageScript;     // host/html/treemap.js
extern const std::string_view kLayoutLibrary;  // d3-hierarchy.min.js (1.1.x)

}  // namespace ketterlin::host::html
