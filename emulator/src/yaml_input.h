// Parsing the YAML files the library reads (camera configuration, routes) within bounds.
#pragma once

#include <string>

#include <yaml-cpp/yaml.h>

namespace qx_emulator {

// The one YAML document of `text`. Before any tree is built, a streaming pass checks that the text
// holds at most limits::kYamlNodes nodes, an alias counting as every node it stands for (so that a
// few aliases of aliases cannot expand into billions), and no second document, valid or not.
// Throws YAML::Exception, with the position, for a text that breaks either rule or is not YAML.
YAML::Node load_one_document(const std::string& text);

}  // namespace qx_emulator
