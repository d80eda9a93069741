"""The one error a program can raise while it is read or interpreted."""

import re

# C0 and C1 controls and the bidirectional overrides: a client's text in the log must not
# drive the operator's terminal.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]")

ERR_SYNTAX = 1
ERR_UNSUPPORTED = 2
ERR_VALUE = 3
ERR_ARC = 4
ERR_FLOW = 5
ERR_LIMIT = 6


class GCodeError(Exception):
    """A program fault: what is wrong, the word that carries it, and where.

    `line` and `file` are filled in by the interpreter, which knows where it is reading.
    """

    def __init__(self, message: str, word: str = "", code: int = ERR_SYNTAX) -> None:
        super().__init__(message)
        self.message = message
        self.word = word
        self.code = code
        self.line = 0
        self.file = ""

    def describe(self) -> str:
        """The text shown to the user: line, offending word and reason."""
        where = f"line {self.line}" + (f" of {self.file}" if self.file else "")
        word = f" at '{self.word}'" if self.word else ""
        return f"{where}{word}: {self.message}"


def loggable(text: object) -> str:
    """`text` with every control character written as an escape, for one line of the log."""
    return _CONTROL.sub(lambda m: ascii(m.group())[1:-1], str(text))
