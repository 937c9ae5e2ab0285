"""Realistic artist and title names for the benchmarks, generated from a seed.

About 90% are plain ASCII (band names, personal names, collaborations,
stray spaces and case); the rest mix Latin with diacritics, Cyrillic, Greek,
CJK, emoji and a little mojibake, as a music library's artist column does.
"""

from __future__ import annotations

import random

_FIRST = ["John", "Paul", "Mary", "Nina", "Miles", "Ella", "Aretha", "Bob", "Joni", "Kate", "David", "Patti",
          "Chet", "Billie", "Stevie", "Lou", "Tom", "Sade", "Neil", "Grace", "Marvin", "Thelonious", "Erykah"]
_LAST = ["Smith", "Davis", "Simone", "Coltrane", "Mitchell", "Bush", "Bowie", "Smith", "Baker", "Holiday",
         "Wonder", "Reed", "Waits", "Young", "Jones", "Gaye", "Monk", "Badu", "Franklin", "Parker", "Evans"]
_WORDS = ["Black", "Velvet", "Sonic", "Youth", "Arcade", "Fire", "Radio", "Head", "Pixies", "Talking",
          "Heads", "Cocteau", "Twins", "Massive", "Attack", "Boards", "Canada", "Stereo", "Lab", "Orchestra",
          "Quartet", "Trio", "Band", "Brothers", "Sisters", "Collective", "Ensemble", "Machine", "Temple",
          "Dogs", "Moon", "Sun", "Love", "Blue", "Night", "Live", "Sessions", "Remastered", "Vol.", "2"]
_LATIN = ["Mötley Crüe", "Björk", "Sigur Rós", "Céline Dion", "Motörhead", "Beyoncé", "Señor Coconut",
          "Hüsker Dü", "Ólafur Arnalds", "Françoise Hardy", "Jóhann Jóhannsson", "Mañana", "Łona", "Dvořák",
          "Antonín", "Zoë Keating", "Sinéad O'Connor", "Ærosmith", "Œuvre", "Straße", "Fiancée", "Hà Nội"]
_CYRILLIC = ["Кино", "Ёлка", "Земфира", "Аквариум", "Сплин", "Мумий Тролль", "Чайф", "Наутилус Помпилиус"]
_GREEK = ["ΣΊΣΥΦΟΣ", "Μίκης Θεοδωράκης", "Βαγγέλης", "Χαρούλα Αλεξίου"]
_CJK = ["坂本龍一", "久石譲", "宇多田ヒカル", "椎名林檎", "周杰倫", "王菲", "방탄소년단", "아이유", "ゆらゆら帝国"]
_EMOJI = ["\U0001f3b5", "\U0001f3b6", "\u2764\ufe0f", "\U0001f525", "\u2728", "\U0001f1ef\U0001f1f5"]


def _ascii_name(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.35:
        name = f"{rng.choice(_FIRST)} {rng.choice(_LAST)}"
    elif kind < 0.65:
        name = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(1, 3)))
        if rng.random() < 0.3:
            name = "The " + name
    elif kind < 0.85:
        sep = rng.choice([" & ", " and ", " feat. ", ", ", " / ", " vs. "])
        name = f"{rng.choice(_FIRST)} {rng.choice(_LAST)}{sep}{rng.choice(_FIRST)} {rng.choice(_LAST)}"
    else:
        name = f"{rng.choice(_WORDS)} {rng.choice(_WORDS)} ({rng.choice(['Live', 'Remastered', 'Deluxe', '1999'])})"
    roll = rng.random()
    if roll < 0.1:
        name = name.upper()
    elif roll < 0.2:
        name = name.lower()
    if rng.random() < 0.1:
        name = "  " + name.replace(" ", "  ") + " "
    return name


def _other_name(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.45:
        name = rng.choice(_LATIN)
        if rng.random() < 0.3:
            name += " " + rng.choice(_WORDS)
    elif kind < 0.6:
        name = rng.choice(_CYRILLIC)
    elif kind < 0.7:
        name = rng.choice(_GREEK)
    elif kind < 0.82:
        name = rng.choice(_CJK)
    elif kind < 0.9:
        name = f"{rng.choice(_WORDS)} {rng.choice(_EMOJI)}"
    else:
        # Text that went through UTF-8 read as Windows-1252 once.
        name = rng.choice(_LATIN).encode("utf-8").decode("cp1252", errors="replace")
    return name


def generate_names(n: int, seed: int = 2026) -> list[str]:
    """``n`` names, the same for the same seed."""
    rng = random.Random(seed)
    return [_ascii_name(rng) if rng.random() < 0.9 else _other_name(rng) for _ in range(n)]
