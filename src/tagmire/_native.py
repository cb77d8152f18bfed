"""The package's native half.

It lives in the one extension module, _tagmire_rs, under the private name
_native, so that everything native is one shared object with one copy of
the parser. This module gives it its name in the package: once imported,
`tagmire._native` is that module object itself.
"""

import sys

from _tagmire_rs import _native

sys.modules[__name__] = _native
