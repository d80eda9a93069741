"""The one error every command ends with: a line on stderr and an exit status."""

from __future__ import annotations

from typing import IO, Any

import click

from .safe import printable

EXIT_FAILED = 1  # refused, failed, or the program did not run to its end
EXIT_UNREACHABLE = 3  # the machine cannot be reached or the connection was lost
EXIT_INTERRUPTED = 130  # Ctrl-C


class CliError(click.ClickException):
    """Ends the command with one line on stderr and the given exit status."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.exit_code = exit_code  # type: ignore[misc]  # click declares it on the class

    def show(self, file: IO[Any] | None = None) -> None:
        # Messages carry what the control reported (compile messages, names): controls stay visible, inert.
        click.echo(f"cnc-api: {printable(self.format_message())}", err=True)
