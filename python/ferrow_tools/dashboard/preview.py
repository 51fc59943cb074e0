"""A message body as a person can read it: text, JSON or hex, from its first
bytes. The page escapes what comes out; nothing here marks anything safe."""
import codecs
import json
from typing import NamedTuple, Optional

PREVIEW_BYTES = 512
# Characters below the space that text may hold; any other makes it binary.
_TEXT_CONTROLS = {"\t", "\n", "\r"}


class Preview(NamedTuple):
    kind: str  # "text", "json", "hex" or "empty"
    text: str
    truncated: bool


def as_text(prefix: bytes, complete: bool) -> Optional[str]:
    """The prefix decoded as UTF-8 if it is text (a character cut at the
    end of an incomplete prefix is dropped), else None."""
    try:
        text = codecs.getincrementaldecoder("utf-8")().decode(prefix, final=complete)
    except UnicodeDecodeError:
        return None
    if any(c < " " and c not in _TEXT_CONTROLS or c == "\x7f" for c in text):
        return None
    return text


def preview(prefix: bytes, body_len: int) -> Preview:
    """`prefix` holds the first bytes of a body of `body_len` bytes."""
    truncated = len(prefix) < body_len
    if body_len == 0:
        return Preview("empty", "", False)
    text = as_text(prefix, not truncated)
    if text is None:
        return Preview("hex", prefix.hex(" "), truncated)
    if not truncated and text.lstrip()[:1] in ("{", "[", '"'):
        try:
            return Preview("json", json.dumps(json.loads(text), indent=1, ensure_ascii=False),
                           False)
        except ValueError:
            pass
    return Preview("text", text, truncated)
