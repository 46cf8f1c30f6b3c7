#include "json/json_node.h"

namespace kestrum {

JsonNode::~JsonNode() = default;

}  // namespace kestrum
