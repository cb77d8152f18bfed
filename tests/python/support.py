"""Helpers shared by the Python tests and the atheris target
(fuzz/fuzz_python_api.py imports this file by its path): a parse result as
plain values, and a sequence whose reading runs Python code."""


def shape(result):
    """Everything a parse result shows, as plain values that compare by value:
    (text, [(segment text, [(tag, attrs), ...]), ...], [(pos, tag, attrs), ...])."""
    return (
        result.text,
        [(s.text, [(a.tag, a.attrs) for a in s.annotations]) for s in result.segments],
        [(m.pos, m.annotation.tag, m.annotation.attrs) for m in result.markers],
    )


def tagged_segments(result):
    """The segments with the names of their tags only: [(text, [tag, ...]), ...]."""
    return [(s.text, [a.tag for a in s.annotations]) for s in result.segments]


class CallbackSequence:
    """A sequence by the old protocol (__len__ and __getitem__, no __iter__):
    a setter reading it runs Python code while it holds its object.
    `on_len` runs from __len__ and `on_item` from __getitem__, before the
    answer; either may raise, call back into the module or let other threads
    run. `length`, a value or a callable, replaces the length __len__
    reports."""

    def __init__(self, items, on_len=None, on_item=None, length=None):
        self.items = items
        self.on_len = on_len
        self.on_item = on_item
        self.length = length

    def __len__(self):
        if self.on_len:
            self.on_len()
        if self.length is not None:
            return self.length() if callable(self.length) else self.length
        return len(self.items)

    def __getitem__(self, index):
        if self.on_item:
            self.on_item()
        return self.items[index]
