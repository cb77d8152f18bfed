"""tagmire.Config: a parser configuration that can be compared, pickled,
sent to other processes and loaded from TOML or JSON files.

The keywords and the module's presets are read from the extension module,
where they are defined once, and every Config is checked by the module's own
ParserConfig setters: what a Config accepts is exactly what the parser does.
"""

from __future__ import annotations

import functools
import json
import os
import string
import tomllib
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from _tagmire_rs import ParserConfig

from tagmire import _native

#: The recovery strategies, as the module names them.
RECOVERY_STRATEGIES: tuple[str, ...] = _native.RECOVERY_STRATEGIES
#: The unknown-tag modes, as the module names them.
UNKNOWN_MODES: tuple[str, ...] = _native.UNKNOWN_MODES
_FLAGS = ("autoclose_on_any_tag", "autoclose_on_same_tag", "trim_punctuation", "case_sensitive_tags")
# How the package reads markup where the module's presets read it otherwise;
# the module has no setters for them.
_READING = ("provisional_autoclose", "retro_line_split", "token_clusters")
_FIELDS = ("recognized_tags", "recovery_strategies", "unknown_mode", *_FLAGS, *_READING)


def _presets() -> dict[str, dict[str, Any]]:
    """Every named preset's fields. The module's two presets auto-close a
    repeated tag exactly where its namesake begins, so that with several
    `<cite>`s left open in one answer each takes the text after it rather
    than its own sentence; the package's presets leave that to the any-tag
    auto-close, which closes each by its strategy. They also read nested
    markup as it is nested, split a line of citations by sentence and keep
    a word's combining marks in its token (the three reading rules)."""
    module_default = _native.config_fields(ParserConfig.default_llm_friendly_config())
    module_cite = _native.config_fields(ParserConfig.default_cite_config())
    package = {"autoclose_on_same_tag": False, **{name: True for name in _READING}}
    return {
        "default": {**module_default, **package},
        "cite": {**module_cite, **package},
        "compat_default": module_default,
        "compat_cite": module_cite,
    }


_PRESETS = _presets()
#: The names of the presets, the package's own first.
PRESETS: tuple[str, ...] = tuple(_PRESETS)
_DEFAULT = _PRESETS["default"]
_DEFAULT_STRATEGIES = tuple((tag, strategy) for tag, strategy in _DEFAULT["recovery_strategies"])

# Only a sort key, so that equal configurations compare equal: which of two
# names that fold alike wins is decided by their order, which a stable sort
# by the folded name keeps.
_FOLDED = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


class ConfigError(ValueError):
    """A configuration that cannot be used; the message names the key."""


def _type_name(value: object) -> str:
    return type(value).__name__


def _tags(value: object) -> list[str]:
    if isinstance(value, str | bytes) or not isinstance(value, Iterable):
        raise ConfigError(f"recognized_tags: expected a list of strings, got {_type_name(value)}")
    tags = list(value)
    for tag in tags:
        if not isinstance(tag, str):
            raise ConfigError(f"recognized_tags: expected strings, got {_type_name(tag)}")
    return sorted(set(tags))


def _pairs(value: object) -> list[tuple[str, object]]:
    pairs = value.items() if isinstance(value, Mapping) else value
    if isinstance(pairs, str | bytes) or not isinstance(pairs, Iterable):
        raise ConfigError(f"recovery_strategies: expected a table of tag = strategy, got {_type_name(value)}")
    checked: list[tuple[str, object]] = []
    for pair in pairs:
        if not isinstance(pair, tuple | list) or len(pair) != 2:
            raise ConfigError("recovery_strategies: expected (tag, strategy) pairs")
        tag, strategy = pair
        if not isinstance(tag, str):
            raise ConfigError(f"recovery_strategies: tags must be strings, got {_type_name(tag)}")
        if not isinstance(strategy, str):
            raise ConfigError(f"recovery_strategies.{tag}: expected a string, got {_type_name(strategy)}")
        checked.append((tag, strategy))
    return checked


def _set(key: str, setter: Callable[[Any], None], value: object, expected: tuple[str, ...] = ()) -> None:
    """Calls one of the module's setters, naming `key` in its errors."""
    try:
        setter(value)
    except UnicodeEncodeError:  # a lone surrogate: from_file names it
        raise
    except ValueError as error:
        raise ConfigError(f"{key}: {error} (expected one of {', '.join(expected)})") from None
    except TypeError:
        raise ConfigError(f"{key}: expected {'a string' if expected else 'true or false'}, "
                          f"got {_type_name(value)}") from None


def _parser_config(tags: list[str], pairs: Iterable[tuple[str, object]], unknown_mode: object,
                   flags: Mapping[str, object]) -> ParserConfig:
    """A ParserConfig holding exactly these fields, built by the setters
    from nothing, so that no entry of a preset is left over in it."""
    reading: list[bool] = []
    for name in _READING:
        value = flags[name]
        if not isinstance(value, bool):
            raise ConfigError(f"{name}: expected true or false, got {_type_name(value)}")
        reading.append(value)
    config = _native.blank_parser_config(*reading)
    config.set_recognized_tags(tags)
    for tag, strategy in pairs:
        _set(f"recovery_strategies.{tag}", functools.partial(config.set_recovery_strategy, tag), strategy,
             RECOVERY_STRATEGIES)
    _set("unknown_mode", config.set_unknown_mode, unknown_mode, UNKNOWN_MODES)
    for name in _FLAGS:
        _set(name, getattr(config, f"set_{name}"), flags[name])
    return config


@dataclass(frozen=True, init=False)
class Config:
    """Every field of a parser configuration, frozen.

    `Config()` is the package's default preset (`Config.default()`): the
    module's default preset with same-tag auto-close off, so that several
    `<cite>` tags left open in one answer each annotate their own line.
    It also reads markup by three rules of its own, each a field:
    `provisional_autoclose` (a tag auto-closed by the next one still takes
    its own closing tag if that comes before the paragraph ends, so
    well-nested markup keeps its nesting), `retro_line_split` (a retro_line
    tag reaches back to the last retro_line tag or marker on its line, not
    to the line's start) and `token_clusters` (forward_next_token keeps a
    word's combining marks and joiners).
    `Config.compat_default()` and `Config.compat_cite()` are exactly the
    module's two presets, with the three rules off. Keywords are matched after ASCII case folding, as
    the module's setters do, and kept in their canonical spelling.

    `recovery_strategies` is kept as (tag, strategy) pairs in the order
    given, each name in the place it was last given: where two names fold
    alike (tags matched without regard to case), the later one wins. Pairs
    whose names do not fold alike are sorted by name, so that equal
    configurations compare and hash equal.
    """

    recognized_tags: frozenset[str]
    recovery_strategies: tuple[tuple[str, str], ...]
    unknown_mode: str
    autoclose_on_any_tag: bool
    autoclose_on_same_tag: bool
    trim_punctuation: bool
    case_sensitive_tags: bool
    provisional_autoclose: bool
    retro_line_split: bool
    token_clusters: bool

    def __init__(
        self,
        recognized_tags: Iterable[str] = tuple(_DEFAULT["recognized_tags"]),
        recovery_strategies: Mapping[str, str] | Iterable[tuple[str, str]] = _DEFAULT_STRATEGIES,
        unknown_mode: str = _DEFAULT["unknown_mode"],
        autoclose_on_any_tag: bool = _DEFAULT["autoclose_on_any_tag"],
        autoclose_on_same_tag: bool = _DEFAULT["autoclose_on_same_tag"],
        trim_punctuation: bool = _DEFAULT["trim_punctuation"],
        case_sensitive_tags: bool = _DEFAULT["case_sensitive_tags"],
        provisional_autoclose: bool = _DEFAULT["provisional_autoclose"],
        retro_line_split: bool = _DEFAULT["retro_line_split"],
        token_clusters: bool = _DEFAULT["token_clusters"],
    ) -> None:
        flags = {"autoclose_on_any_tag": autoclose_on_any_tag, "autoclose_on_same_tag": autoclose_on_same_tag,
                 "trim_punctuation": trim_punctuation, "case_sensitive_tags": case_sensitive_tags,
                 "provisional_autoclose": provisional_autoclose, "retro_line_split": retro_line_split,
                 "token_clusters": token_clusters}
        parser_config = _parser_config(_tags(recognized_tags), _pairs(recovery_strategies), unknown_mode, flags)
        # The module's own reading of what it was given: canonical keywords
        # and the order in which names were last set.
        fields = _native.config_fields(parser_config)
        fields["recognized_tags"] = frozenset(fields["recognized_tags"])
        fields["recovery_strategies"] = tuple(
            sorted(fields["recovery_strategies"], key=lambda pair: pair[0].translate(_FOLDED)))
        for name in _FIELDS:
            object.__setattr__(self, name, fields[name])
        # Handed to the native parsers, never to users (a ParserConfig can
        # be changed); it is no field, so it takes no part in comparisons.
        object.__setattr__(self, "_parser_config", parser_config)

    def __reduce__(self) -> tuple[Any, ...]:
        return (Config, tuple(getattr(self, name) for name in _FIELDS))

    # --- presets ---

    @classmethod
    def preset(cls, name: str) -> Config:
        """The preset named `name`, one of PRESETS: "default", "cite"
        (the package's), "compat_default" or "compat_cite" (exactly the
        module's)."""
        if name not in _PRESETS:
            raise ConfigError(f"preset: expected one of {', '.join(map(repr, PRESETS))}, got {name!r}")
        return cls(**_PRESETS[name])

    @classmethod
    def default(cls) -> Config:
        """The package's default: cite recovers by retro_line; note, todo,
        claim, risk and code forward until the next tag; every recognised
        tag closes the ones still open by their strategies, unless their
        own closing tags follow in the same paragraph."""
        return cls.preset("default")

    @classmethod
    def cite(cls) -> Config:
        """Only cite, recovering by retro_line; same-tag auto-close off."""
        return cls.preset("cite")

    @classmethod
    def compat_default(cls) -> Config:
        """Exactly the module's default preset (`ParserConfig()`)."""
        return cls.preset("compat_default")

    @classmethod
    def compat_cite(cls) -> Config:
        """Exactly the module's cite preset (`ParserConfig.default_cite_config()`)."""
        return cls.preset("compat_cite")

    # --- loading ---

    @classmethod
    def from_mapping(cls, mapping: Mapping[str, Any]) -> Config:
        """A configuration from a mapping such as a parsed TOML or JSON file.

        `preset` (one of PRESETS, "default" unless given) chooses where it
        starts; every other key is a field and replaces that field of the
        preset. Unknown keys, strategies and modes, and values of the wrong
        type are ConfigErrors naming the key.
        """
        if not isinstance(mapping, Mapping):
            raise ConfigError(f"expected a table of settings, got {_type_name(mapping)}")
        for key in mapping:
            if key != "preset" and key not in _FIELDS:
                raise ConfigError(f"unknown key {key!r} (expected preset or one of {', '.join(sorted(_FIELDS))})")
        preset_name = mapping.get("preset", "default")
        if not isinstance(preset_name, str) or preset_name not in _PRESETS:
            raise ConfigError(f"preset: expected one of {', '.join(map(repr, PRESETS))}, got {preset_name!r}")
        if "recognized_tags" in mapping and not isinstance(mapping["recognized_tags"], list | tuple):
            raise ConfigError(
                f"recognized_tags: expected a list of strings, got {_type_name(mapping['recognized_tags'])}")
        if "recovery_strategies" in mapping and not isinstance(mapping["recovery_strategies"], Mapping):
            raise ConfigError("recovery_strategies: expected a table of tag = strategy, "
                              f"got {_type_name(mapping['recovery_strategies'])}")
        settings = {**_PRESETS[preset_name], **{key: value for key, value in mapping.items() if key != "preset"}}
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
        except RecursionError:
            raise ConfigError(f"{path}: nested too deeply to be a configuration") from None
        except UnicodeEncodeError:
            raise ConfigError(f"{path}: holds a lone surrogate escape (such as \\ud800), which is not Unicode "
                              "text") from None

    # --- use ---

    def to_parser_config(self) -> ParserConfig:
        """A new ParserConfig with exactly these settings."""
        flags = {name: getattr(self, name) for name in (*_FLAGS, *_READING)}
        return _parser_config(sorted(self.recognized_tags), self.recovery_strategies, self.unknown_mode, flags)

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain values, which from_mapping and json.dumps take."""
        return {
            "recognized_tags": sorted(self.recognized_tags),
            "recovery_strategies": dict(self.recovery_strategies),
            "unknown_mode": self.unknown_mode,
            **{name: getattr(self, name) for name in (*_FLAGS, *_READING)},
        }


_DEFAULT_CONFIG = Config()


def native_config(config: object) -> ParserConfig:
    """The ParserConfig a native parser is handed for `config`: a Config, a
    ParserConfig, or None for the package's default."""
    if config is None:
        config = _DEFAULT_CONFIG
    if isinstance(config, Config):
        return config._parser_config  # type: ignore[attr-defined, no-any-return]
    if isinstance(config, ParserConfig):
        return config
    raise TypeError(f"config must be None, a tagmire.Config or a ParserConfig, not {_type_name(config)}")
