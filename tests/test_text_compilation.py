"""Compilation-artist detection."""

import pytest

from zemo_etl import text


@pytest.mark.parametrize(
    "name, expected",
    [
        ("VARIOUS ARTISTS", True), ("Various", True), ("Compilation", True), ("Soundtracks", True),
        ("Various Artists - Jazz", True), ("V/A: Hits", True), ("v.a.", True), ("v/a_", True), ("V/A\u0301", True),
        ("SOUNDTRAC\u212a", True),  # KELVIN SIGN lower-cases to 'k'
        ("", False), ("Various Artistsx", False), ("Soundtrack Orchestra", False), ("compilations", False),
        (" Various", False), ("Various ", False),
        ("v/a\xe9", False), ("V/A\u0663", False), ("V/A\u2160", False), ("V/A\xb2", False),
        ("V/A\u0345", False),  # Alphabetic, though a mark
        ("VARIOUS ARTISTS\u03a3", False),  # a final sigma, a letter
        ("VAR\u0130OUS", False),
    ],
)
def test_is_compilation_artist(name, expected):
    assert text.is_compilation_artist(name) is expected
