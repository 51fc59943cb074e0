"""What a request asks for: the queue page's search and page number, form
fields, and where a sign-in may lead back to, each read defensively."""
import urllib.parse
from typing import Any, Dict, Optional, Tuple

from starlette.requests import Request

from .source import Search

MAX_SEARCH_CHARS = 1000


def text(value: Any) -> Optional[str]:
    return value if isinstance(value, str) else None


def local_path(path: Optional[str]) -> str:
    """Where to go back after signing in: a path of this server only."""
    if not path or not path.startswith("/") or path.startswith("//") or "\\" in path:
        return "/"
    return path


def search_of(request: Request) -> Tuple[Search, Optional[str]]:
    """The search of a queue page's query, and what was wrong with it."""
    raw_id = request.query_params.get("id", "").strip()
    raw_text = request.query_params.get("q", "")[:MAX_SEARCH_CHARS]
    seq = None
    problem = None
    if raw_id:
        if raw_id.isdigit() and len(raw_id) <= 20:
            seq = int(raw_id)
        else:
            problem = "an id is a whole number; showing every id"
    return Search(seq, raw_text.encode("utf-8")), problem


def page_number(request: Request) -> int:
    raw = request.query_params.get("page", "")
    return min(int(raw), 1 << 40) if raw.isdigit() else 0


def page_link(request: Request, query: Dict[str, str], number: int) -> str:
    return "{}?{}".format(urllib.parse.quote(request.url.path),
                          urllib.parse.urlencode(dict(query, page=number)))
