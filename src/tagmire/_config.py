"""tagmire.Config: a parser configuration that can be compared, pickled,
sent to other processes and loaded from TOML or JSON files."""

from __future__ import annotations

import json
import os
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import _tagmire_rs

RECOVERY_STRATEGIES = ("retro_line", "forward_until_tag", "forward_until_newline", "forward_next_token", "noop")
UNKNOWN_MODES = ("strip", "passthrough", "treat_as_text")
_FLAGS = ("autoclose_on_any_tag", "autoclose_on_same_tag", "trim_punctuation", "case_sensitive_tags")
_FORWARD = ("note", "todo", "claim", "risk", "code")
_DEFAULT_TAGS = ("cite", *_FORWARD)
_DEFAULT_STRATEGIES = (("cite", "retro_line"), *((name, "forward_until_tag") for name in _FORWARD))


class ConfigError(ValueError):
    """A configuration that cannot be used; the message names the key."""


def _ascii_folded(text: str) -> str:
    # Only A-Z fold, as ParserConfig's setters do: str.lower() would also
    # fold letters such as 'İ' and accept keywords the module refuses.
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def _keyword(value: object, allowed: tuple[str, ...], key: str, what: str) -> str:
    if not isinstance(value, str):
        raise ConfigError(f"{key}: expected a string, got {type(value).__name__}")
    folded = _ascii_folded(value)
    if folded not in allowed:
        raise ConfigError(f"{key}: unknown {what} {value!r} (expected one of {', '.join(allowed)})")
    return folded


@dataclass(frozen=True, init=False)
class Config:
    """Every field of a parser configuration, frozen.

    `Config()` is the default preset, the same as `ParserConfig()`.
    `recovery_strategies` is kept as (tag, strategy) pairs sorted by tag, so
    that equal configurations compare and hash equal.
    """

    recognized_tags: frozenset[str]
    recovery_strategies: tuple[tuple[str, str], ...]
    unknown_mode: str
    autoclose_on_any_tag: bool
    autoclose_on_same_tag: bool
    trim_punctuation: bool
    case_sensitive_tags: bool

    def __init__(
        self,
        recognized_tags: Iterable[str] = _DEFAULT_TAGS,
        recovery_strategies: Mapping[str, str] | Iterable[tuple[str, str]] = _DEFAULT_STRATEGIES,
        unknown_mode: str = "strip",
        autoclose_on_any_tag: bool = True,
        autoclose_on_same_tag: bool = True,
        trim_punctuation: bool = True,
        case_sensitive_tags: bool = False,
    ) -> None:
        if isinstance(recognized_tags, str | bytes) or not isinstance(recognized_tags, Iterable):
            raise ConfigError(f"recognized_tags: expected a list of strings, got {type(recognized_tags).__name__}")
        tags = frozenset(recognized_tags)
        for tag in tags:
            if not isinstance(tag, str):
                raise ConfigError(f"recognized_tags: expected strings, got {type(tag).__name__}")
        pairs = recovery_strategies.items() if isinstance(recovery_strategies, Mapping) else recovery_strategies
        if isinstance(pairs, str | bytes) or not isinstance(pairs, Iterable):
            raise ConfigError(
                f"recovery_strategies: expected a table of tag = strategy, got {type(recovery_strategies).__name__}")
        strategies: dict[str, str] = {}
        for pair in pairs:
            if not isinstance(pair, tuple | list) or len(pair) != 2:
                raise ConfigError("recovery_strategies: expected (tag, strategy) pairs")
            tag, strategy = pair
            if not isinstance(tag, str):
                raise ConfigError(f"recovery_strategies: tags must be strings, got {type(tag).__name__}")
            # A later entry for the same tag replaces an earlier one, as
            # ParserConfig.set_recovery_strategy does.
            strategies[tag] = _keyword(strategy, RECOVERY_STRATEGIES, f"recovery_strategies.{tag}",
                                       "recovery strategy")
        fields: dict[str, Any] = {
            "recognized_tags": tags,
            "recovery_strategies": tuple(sorted(strategies.items())),
            "unknown_mode": _keyword(unknown_mode, UNKNOWN_MODES, "unknown_mode", "unknown-tag mode"),
        }
        for name, value in zip(_FLAGS, (autoclose_on_any_tag, autoclose_on_same_tag, trim_punctuation,
                                        case_sensitive_tags)):
            if not isinstance(value, bool):
                raise ConfigError(f"{name}: expected true or false, got {type(value).__name__}")
            fields[name] = value
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    # --- presets ---

    @classmethod
    def default(cls) -> Config:
        """The default preset: cite recovers by retro_line; note, todo,
        claim, risk and code forward until the next tag."""
        return cls()

    @classmethod
    def cite(cls) -> Config:
        """Only cite, recovering by retro_line."""
        return cls(recognized_tags=("cite",), recovery_strategies={"cite": "retro_line"})

    # --- loading ---

    @classmethod
    def from_mapping(cls, mapping: Mapping[str, Any]) -> Config:
        """A configuration from a mapping such as a parsed TOML or JSON file.

        `preset` ("default" or "cite") chooses where it starts; every other
        key is a field and replaces that field of the preset. Unknown keys,
        strategies and modes, and values of the wrong type are ConfigErrors
        naming the key.
        """
        if not isinstance(mapping, Mapping):
            raise ConfigError(f"expected a table of settings, got {type(mapping).__name__}")
        fields = {name for name in cls.__dataclass_fields__}
        for key in mapping:
            if key != "preset" and key not in fields:
                raise ConfigError(f"unknown key {key!r} (expected preset or one of {', '.join(sorted(fields))})")
        preset_name = mapping.get("preset", "default")
        preset = {"default": cls.default, "cite": cls.cite}.get(preset_name) if isinstance(preset_name, str) else None
        if preset is None:
            raise ConfigError(f"preset: expected 'default' or 'cite', got {preset_name!r}")
        settings = {name: getattr(preset(), name) for name in fields}
        if "recognized_tags" in mapping and not isinstance(mapping["recognized_tags"], list | tuple):
            raise ConfigError(
                f"recognized_tags: expected a list of strings, got {type(mapping['recognized_tags']).__name__}")
        if "recovery_strategies" in mapping and not isinstance(mapping["recovery_strategies"], Mapping):
            raise ConfigError("recovery_strategies: expected a table of tag = strategy, "
                              f"got {type(mapping['recovery_strategies']).__name__}")
        settings.update({key: value for key, value in mapping.items() if key != "preset"})
        return cls(**settings)

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Config:
        """A configuration from a `.toml` or `.json` file (see from_mapping).
        Every error, an unreadable file included, is a ConfigError that
        starts with the file's name."""
        path = Path(path)
        try:
            if path.suffix == ".toml":
                with path.open("rb") as file:
                    mapping: Any = tomllib.load(file)
            elif path.suffix == ".json":
                with path.open("rb") as file:
                    mapping = json.load(file)
            else:
                raise ConfigError("a configuration file must end in .toml or .json")
            return cls.from_mapping(mapping)
        except ConfigError as error:
            raise ConfigError(f"{path}: {error}") from None
        except OSError as error:
            raise ConfigError(f"{path}: {error.strerror or error}") from None
        except (tomllib.TOMLDecodeError, json.JSONDecodeError, UnicodeDecodeError) as error:
            raise ConfigError(f"{path}: not valid {path.suffix[1:].upper()}: {error}") from None

    # --- use ---

    def to_parser_config(self) -> _tagmire_rs.ParserConfig:
        """A new ParserConfig with these settings."""
        # The cite preset's strategy table holds only cite's own default
        # (retro_line, the same as no entry), so the result holds exactly
        # the strategies listed here.
        config = _tagmire_rs.ParserConfig.default_cite_config()
        config.set_recognized_tags(sorted(self.recognized_tags))
        for tag, strategy in self.recovery_strategies:
            config.set_recovery_strategy(tag, strategy)
        config.set_unknown_mode(self.unknown_mode)
        config.set_autoclose_on_any_tag(self.autoclose_on_any_tag)
        config.set_autoclose_on_same_tag(self.autoclose_on_same_tag)
        config.set_trim_punctuation(self.trim_punctuation)
        config.set_case_sensitive_tags(self.case_sensitive_tags)
        return config

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain values, which from_mapping and json.dumps take."""
        return {
            "recognized_tags": sorted(self.recognized_tags),
            "recovery_strategies": dict(self.recovery_strategies),
            "unknown_mode": self.unknown_mode,
            **{name: getattr(self, name) for name in _FLAGS},
        }

    def _native_values(self) -> tuple[Any, ...]:
        """The fields as tagmire._native reads them."""
        return (tuple(self.recognized_tags), self.recovery_strategies, self.unknown_mode,
                *(getattr(self, name) for name in _FLAGS))
