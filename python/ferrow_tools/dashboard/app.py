"""The web application: the pages, the JSON API, /metrics and the actions,
over one Source (directory_source.py or redis_source.py).

Requests are answered on the server's worker threads; a background thread
samples every queue's figures for the overview's rates and charts.
"""
import contextlib
import os
import threading
import traceback
import urllib.parse
from typing import Any, AsyncIterator, Dict, List, Optional, Tuple

import jinja2
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ..admin.prometheus import CONTENT_TYPE, exposition
from ..files.logfile import LogError, now_ms
from . import actions, history, render
from .figures import QueueFigures
from .grouping import QueueGroup
from .history import History
from .security import Guard
from .query import local_path, page_link, page_number, search_of, text
from .source import PAGE_SIZE, MessagePage, Search, Source, UnknownQueue

HERE = os.path.dirname(os.path.abspath(__file__))
REFRESH_S = 5
# No script runs on these pages, whatever a message body holds.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; style-src 'self'; img-src 'self'; "
                               "form-action 'self'; frame-ancestors 'none'; base-uri 'none'",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    # Not "no-referrer": under it a browser sends "Origin: null" with this
    # server's own forms, which the CSRF check refuses.
    "Referrer-Policy": "same-origin",
    "Cache-Control": "no-store",
}
# Failures of reading a queue that are shown in its place rather than raised.
READ_ERRORS = (OSError, LogError, TimeoutError, ValueError)


class QueueRow:
    """One line of the overview."""

    def __init__(self, name: str, figures: Optional[QueueFigures], error: Optional[str],
                 role: str = "") -> None:
        self.name = name
        self.figures = figures
        self.error = error
        self.role = role
        self.rates: Optional[history.Rates] = None
        self.chart_enq = self.chart_ack = ""
        self.chart_top = 0
        self.subqueues: List["QueueRow"] = []


class Dashboard:
    def __init__(self, source: Source, guard: Guard, sign_in_to_read: bool) -> None:
        self.source = source
        self.guard = guard
        self.sign_in_to_read = sign_in_to_read
        self.history = History()
        self.templates = jinja2.Environment(
            loader=jinja2.FileSystemLoader(os.path.join(HERE, "templates")),
            autoescape=True, undefined=jinja2.StrictUndefined)
        self.templates.filters.update(render.FILTERS)
        self._notes: Dict[str, str] = {}
        self._stop = threading.Event()

    # -- reading --------------------------------------------------------

    def figures_or_error(self, name: str) -> Tuple[Optional[QueueFigures], Optional[str]]:
        try:
            return self.source.figures(name), None
        except UnknownQueue:
            return None, "gone"
        except READ_ERRORS as e:
            return None, str(e)

    def every_figure(self) -> List[QueueFigures]:
        """The figures of every queue found, dead-letter and sub-queues too."""
        out = []
        for g in self.source.groups():
            for name in [g.name, *([g.dead] if g.dead else []), *g.subqueues.values()]:
                f, _ = self.figures_or_error(name)
                if f is not None:
                    out.append(f)
        return out

    def overview_rows(self, t_ms: int) -> List[QueueRow]:
        rows = []
        for g in self.source.groups():
            row = QueueRow(g.name, *self.figures_or_error(g.name))
            if row.figures is not None:
                row.rates = self.history.rates(row.figures, t_ms)
                try:
                    logged = self.source.enqueues_per_minute(g.name)
                except READ_ERRORS:
                    logged = None  # gone or cut since its figures were read
                chart = self.history.chart(g.name, t_ms, logged)
                row.chart_enq, row.chart_ack, row.chart_top = history.chart_lines(chart)
            for role, name in sorted(g.subqueues.items()):
                row.subqueues.append(QueueRow(name, *self.figures_or_error(name), role=role))
            rows.append(row)
        return rows

    def sample_forever(self) -> None:
        while not self._stop.is_set():
            try:
                self.history.record(self.every_figure(), now_ms())
            except READ_ERRORS:
                pass  # the server is away for now: the next sample tries again
            except Exception:  # a fault here must not end the charts for good
                traceback.print_exc()
            self._stop.wait(history.SAMPLE_S)

    def group_of(self, name: str) -> Optional[QueueGroup]:
        for g in self.source.groups():
            if g.name == name:
                return g
        return None

    # -- pages ----------------------------------------------------------

    def page(self, request: Request, template: str, status: int = 200,
             **context: Any) -> Response:
        cookie = request.cookies.get(self.guard.csrf_cookie_name) or ""
        fresh = not cookie
        if fresh:
            cookie = self.guard.new_csrf_cookie()
        csrf = self.guard.csrf_field(cookie)
        context.setdefault("refresh", None)
        html = self.templates.get_template(template).render(
            where=self.source.where, actions_enabled=self.guard.enabled,
            signed_in=self.guard.signed_in(request.cookies), csrf=csrf,
            path=request.url.path, note=self._notes.pop(cookie, None), now_ms=now_ms(),
            **context)
        response = HTMLResponse(html, status_code=status, headers=SECURITY_HEADERS)
        if fresh:
            response.set_cookie(self.guard.csrf_cookie_name, cookie, httponly=True,
                                samesite="strict")
        return response

    def note(self, request: Request, text: str) -> None:
        """A line for the next page this browser gets (after a redirect)."""
        cookie = request.cookies.get(self.guard.csrf_cookie_name)
        if cookie:
            if len(self._notes) > 1000:
                self._notes.clear()
            self._notes[cookie] = text

    def csrf_ok(self, request: Request, form: Any) -> bool:
        return self.guard.csrf_ok(request.cookies, text(form.get("csrf")),
                                  request.headers.get("origin"), request.headers.get("host"))

    def may_read(self, request: Request) -> bool:
        if not self.sign_in_to_read:
            return True
        return (self.guard.signed_in(request.cookies)
                or self.guard.token_ok(self.guard.header_token(request.headers)))

    def refused_read(self, request: Request) -> Response:
        if request.url.path.startswith(("/api/", "/metrics")):
            return JSONResponse({"error": "this dashboard listens beyond loopback: send the "
                                          "token (Authorization: Bearer TOKEN)"}, 401)
        return self.page(request, "message.html", 401, title="Sign in",
                         message="This dashboard listens beyond this machine: sign in with "
                                 "its token to see the queues.")

    async def overview(self, request: Request) -> Response:
        if not self.may_read(request):
            return self.refused_read(request)
        try:
            rows = await run_in_threadpool(self.overview_rows, now_ms())
        except READ_ERRORS as e:
            return self.unreadable(request, e)
        return self.page(request, "overview.html", title="Queues", rows=rows, refresh=REFRESH_S)

    def unreadable(self, request: Request, e: Exception) -> Response:
        """The target cannot be read right now (a Redis server away, a
        directory gone): said on the page, which tries again by itself."""
        return self.page(request, "message.html", 503, title="Unreadable", refresh=REFRESH_S,
                         message="Cannot read {} right now: {}".format(self.source.where, e))

    async def queue_page(self, request: Request) -> Response:
        if not self.may_read(request):
            return self.refused_read(request)
        name = request.path_params["name"]
        search, problem = search_of(request)
        first = page_number(request) * PAGE_SIZE
        try:
            f, page, dead, g = await run_in_threadpool(self.queue_data, name, search, first)
        except UnknownQueue:
            return self.page(request, "message.html", 404, title="No such queue",
                             message="There is no queue {!r} at {}.".format(
                                 name, self.source.where))
        except READ_ERRORS as e:
            return self.unreadable(request, e)
        if problem:
            self.note(request, problem)
        query = dict(request.query_params)
        return self.page(
            request, "queue.html", title=name, queue=name, f=f, page=page, dead=dead,
            subqueues=sorted(g.subqueues.items()) if g else [],
            search_id="" if search.seq is None else str(search.seq),
            search_text=search.text.decode("utf-8", "replace"),
            searching=not search.matches_all(),
            prev_page=page_link(request, query, first // PAGE_SIZE - 1) if first else None,
            next_page=(page_link(request, query, first // PAGE_SIZE + 1)
                       if first + PAGE_SIZE < page.matching else None))

    def queue_data(self, name: str, search: Search, first: int) -> Tuple[
            Optional[QueueFigures], MessagePage, List[Any], Optional[QueueGroup]]:
        page = self.source.messages(name, search, first, PAGE_SIZE)
        f, _ = self.figures_or_error(name)
        dead = sorted(self.source.dead_letters(name),
                      key=lambda d: (d.header.dead_ts_ms if d.header else 0, d.seq), reverse=True)
        return f, page, dead, self.group_of(name)

    # -- machine-readable -------------------------------------------------

    async def metrics(self, request: Request) -> Response:
        if not self.may_read(request):
            return self.refused_read(request)
        try:
            body = await run_in_threadpool(lambda: exposition(self.every_figure()))
        except READ_ERRORS as e:
            return Response("cannot read {}: {}\n".format(self.source.where, e), 503,
                            media_type="text/plain; charset=utf-8")
        return Response(body, media_type=CONTENT_TYPE)

    async def api_queues(self, request: Request) -> Response:
        if not self.may_read(request):
            return self.refused_read(request)
        try:
            rows = await run_in_threadpool(self.overview_rows, now_ms())
        except READ_ERRORS as e:
            return JSONResponse({"error": "cannot read {}: {}".format(self.source.where, e)}, 503)
        return JSONResponse({"target": self.source.where, "actions": self.guard.enabled,
                             "queues": [row_json(r) for r in rows]})

    async def api_queue(self, request: Request) -> Response:
        if not self.may_read(request):
            return self.refused_read(request)
        name = request.path_params["name"]
        search, problem = search_of(request)
        if problem:
            return JSONResponse({"error": problem}, 400)
        first = page_number(request) * PAGE_SIZE
        try:
            f, page, dead, g = await run_in_threadpool(self.queue_data, name, search, first)
        except UnknownQueue:
            return JSONResponse({"error": "no queue {!r}".format(name)}, 404)
        except READ_ERRORS as e:
            return JSONResponse({"error": "cannot read {}: {}".format(name, e)}, 503)
        return JSONResponse({
            "queue": f.as_json() if f else None,
            "subqueues": dict(g.subqueues) if g else {},
            "messages": {"matching": page.matching, "first": page.first,
                         "rows": [render.message_json(m) for m in page.rows]},
            "dead_letters": [render.dead_letter_json(d) for d in dead]})

    # -- actions ----------------------------------------------------------

    async def act(self, request: Request) -> Response:
        form = await request.form()
        header_token = self.guard.header_token(request.headers)
        api = header_token is not None
        if not self.guard.enabled:
            return refusal(api, "this dashboard is read-only: it was started without --token")
        if api:
            allowed = self.guard.token_ok(header_token)
        else:
            allowed = (self.csrf_ok(request, form)
                       and (self.guard.signed_in(request.cookies)
                            or self.guard.token_ok(text(form.get("token")))))
        if not allowed:
            return refusal(api, "refused: the token (or the form's CSRF check) is wrong")
        name = text(form.get("queue")) or ""
        if request.path_params["action"] == "purge" and text(form.get("confirm")) != name:
            # No script runs on these pages to ask "are you sure?": the form asks
            # for the queue's name instead, and so does the API.
            return refusal(api, "not purged: confirm with the queue's name", 400)
        try:
            seq = int(text(form.get("seq")) or "") if form.get("seq") is not None else None
            outcome = await run_in_threadpool(actions.run, self.source,
                                              request.path_params["action"], name, seq)
        except UnknownQueue:
            return refusal(api, "no queue {!r} here".format(name), 404)
        except ValueError as e:
            return refusal(api, str(e), 400)
        except READ_ERRORS as e:
            return refusal(api, "failed: {}".format(e), 500)
        if api:
            return JSONResponse({"done": outcome.done, "message": outcome.text})
        self.note(request, outcome.text)
        return RedirectResponse("/queues/" + urllib.parse.quote(name), 303)

    async def login(self, request: Request) -> Response:
        form = await request.form()
        target = local_path(text(form.get("next")))
        if not (self.guard.enabled and self.csrf_ok(request, form)
                and self.guard.token_ok(text(form.get("token")))):
            return self.page(request, "message.html", 403, title="Sign in",
                             message="Wrong token: still read-only.")
        response = RedirectResponse(target, 303)
        response.set_cookie(self.guard.auth_cookie_name, self.guard.auth_cookie(),
                            httponly=True, samesite="strict")
        return response

    async def logout(self, request: Request) -> Response:
        form = await request.form()
        response = RedirectResponse("/", 303)
        if self.csrf_ok(request, form):
            response.delete_cookie(self.guard.auth_cookie_name)
        return response

    @contextlib.asynccontextmanager
    async def lifespan(self, app: Starlette) -> AsyncIterator[None]:
        sampler = threading.Thread(target=self.sample_forever, name="ferrow-dashboard-sampler",
                                   daemon=True)
        sampler.start()
        try:
            yield
        finally:
            self._stop.set()
            sampler.join(5)
            self.source.close()


def refusal(api: bool, message: str, status: int = 403) -> Response:
    if api:
        return JSONResponse({"error": message}, status)
    return Response(message + "\n", status, media_type="text/plain; charset=utf-8",
                    headers=SECURITY_HEADERS)


def row_json(row: QueueRow) -> Dict[str, Any]:
    out: Dict[str, Any] = row.figures.as_json() if row.figures else {"name": row.name,
                                                                    "error": row.error}
    out["rates"] = row.rates._asdict() if row.rates else None
    out["subqueues"] = {sub.role: row_json(sub) for sub in row.subqueues}
    return out


def create_app(source: Source, token: Optional[str], port: int,
               sign_in_to_read: bool = False) -> Starlette:
    dash = Dashboard(source, Guard(token, port), sign_in_to_read)
    routes = [
        Route("/", dash.overview),
        Route("/queues/{name:path}", dash.queue_page),
        Route("/metrics", dash.metrics),
        Route("/api/queues", dash.api_queues),
        Route("/api/queues/{name:path}", dash.api_queue),
        Route("/actions/{action}", dash.act, methods=["POST"]),
        Route("/login", dash.login, methods=["POST"]),
        Route("/logout", dash.logout, methods=["POST"]),
        Mount("/static", StaticFiles(directory=os.path.join(HERE, "static")), name="static"),
    ]
    return Starlette(routes=routes, lifespan=dash.lifespan)
