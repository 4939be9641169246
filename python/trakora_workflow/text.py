"""Text from the command line as UTF-8 can hold it."""
from __future__ import annotations


def utf8_text(text: str) -> str:
    """`text` with its lone surrogates repaired: bytes a non-UTF-8 locale could not decode
    (kept by Python as U+DC80 to U+DCFF) decoded as UTF-8, anything still undecodable and any
    other surrogate as U+FFFD. A string without surrogates comes back unchanged."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        pass
    kept = "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF and not 0xDC80 <= ord(c) <= 0xDCFF else c for c in text)
    return kept.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
