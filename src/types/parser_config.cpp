#include "types/parser_config.h"

namespace types {

ParserConfig ParserConfig::default_cite_config() {
  ParserConfig config;
  config.recognized_tags = {"cite"};
  config.recovery_strategies = {{"cite", RecoveryStrategy::retro_line}};
  return config;
}

ParserConfig ParserConfig::default_llm_friendly_config() {
  ParserConfig config = default_cite_config();
  for (const char* name : {"note", "todo", "claim", "risk", "code"}) {
    config.recognized_tags.insert(name);
    config.recovery_strategies.emplace(name, RecoveryStrategy::forward_until_tag);
  }
  return config;
}

const char* keyword(RecoveryStrategy strategy) {
  switch (strategy) {
    case RecoveryStrategy::retro_line: return "retro_line";
    case RecoveryStrategy::forward_until_tag: return "forward_until_tag";
    case RecoveryStrategy::forward_until_newline: return "forward_until_newline";
    case RecoveryStrategy::forward_next_token: return "forward_next_token";
    case RecoveryStrategy::noop: return "noop";
  }
  return "";
}

const char* keyword(UnknownTagMode mode) {
  switch (mode) {
    case UnknownTagMode::strip: return "strip";
    case UnknownTagMode::passthrough: return "passthrough";
    case UnknownTagMode::treat_as_text: return "treat_as_text";
  }
  return "";
}

}  // namespace types
