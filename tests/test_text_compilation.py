"""Compilation-artist detection."""

import pytest

from zemo_etl import text


@pytest.mark.parametrize(
    "name",
    [
        "Various Artists", "VARIOUS ARTISTS", "Various", "Compilation", "Soundtrack", "Soundtracks",
        "V/A", "v.a", "Various Artists - Jazz", "V/A: Hits", "v.a.", "Soundtracks (1994)",
        "Various Artists ", "v/a_", "V/A\u2014Hits",
        "SOUNDTRAC\u212a",  # KELVIN SIGN lower-cases to ASCII 'k'
        "V/A\u0301",  # a combining mark is not alphanumeric
    ],
)
def test_compilation_artist(name):
    assert text.is_compilation_artist(name) is True


@pytest.mark.parametrize(
    "name",
    [
        "", "Various Artistsx", "V/Ax", "v.a2", "Soundtracksx", "Various Orchestras",
        "Soundtrack Orchestra", "Film Soundtrack", "VA", "compilations", " Various", "Various ",
        "Soundtrack ", "v/a\xe9", "V/A\u0663", "V/A\u2160", "V/A\xb2",
        "V/A\u0345",  # Alphabetic although a mark
        "VARIOUS ARTISTS\u03a3",  # lower-cases to a final sigma, a letter
        "\u0130various", "VARİOUS",
    ],
)
def test_not_compilation_artist(name):
    assert text.is_compilation_artist(name) is False


@pytest.mark.parametrize("bad, type_name", [(None, "NoneType"), (b"Various", "bytes"), (1, "int")])
def test_name_must_be_str(bad, type_name):
    with pytest.raises(TypeError) as info:
        text.is_compilation_artist(bad)
    assert str(info.value) == f"argument 'name': '{type_name}' object cannot be converted to 'PyString'"
