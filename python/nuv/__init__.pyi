"""Type stubs of the nuv clients (implemented in the _nuv extension)."""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Literal, Protocol, SupportsIndex, TypeAlias, final

from typing_extensions import disjoint_base

class _TraceWriter(Protocol):
    def write(self, line: str, /) -> object: ...

TraceTarget: TypeAlias = Literal["stdout", "stderr", "off", "logging"] | _TraceWriter | Callable[[str], object]
"""A trace target: a name, an object with ``write(str)`` (each line with its
newline) or a callable (each line without it)."""

def set_trace(target: TraceTarget, /) -> None:
    """Send nuv's trace lines to ``target``, for the whole process:
    "stdout" (file descriptor 1, the default), "stderr" (descriptor 2),
    "off", "logging" (one DEBUG record of the "nuv" logger per line), an
    object with ``write(str)`` or a callable. Secrets are masked for every
    target; an exception raised by a Python target goes to
    ``sys.unraisablehook`` and the request goes on, except
    ``KeyboardInterrupt`` and ``SystemExit``, which end the call.
    ``NUV_TRACE`` (one of the four names, in any letter case) sets the
    target at import."""

def get_trace() -> TraceTarget:
    """The current trace target."""

__version__: Final[str]
"""nuv's version, e.g. "0.2.0" (also in the User-Agent and ``nuv --version``)."""

def versions() -> dict[str, str]:
    """nuv's version and those of the C libraries it runs on, as loaded:
    ``{"nuv": "0.2.0", "libcurl": "7.88.1", "OpenSSL": "3.0.17", "json-c":
    "0.16"}``, in that order."""

__all__ = [
    "Cloudflare",
    "DingTalk",
    "DingTalkReply",
    "DingTalkError",
    "ApiResponse",
    "DEFAULT_API_URL",
    "KEEP",
    "KeepType",
    "set_trace",
    "get_trace",
    "versions",
    "CloudflareError",
    "AuthenticationError",
    "NotFoundError",
    "RateLimitedError",
    "ConflictError",
    "TransportError",
    "ZoneNotFoundError",
    "UnsafeSyncError",
    "lookup_address",
    "AddressLookupError",
    "AddressUnreadable",
    "AddressRefused",
    "ping",
    "PingError",
    "RecordType",
    "DnsRecord",
    "Zone",
    "PlannedWrite",
    "FieldChange",
    "UnrestoredRecord",
    "SyncWrite",
    "SyncResult",
    "WantedRecord",
    "ErrorEntry",
    "PurgeFile",
]

from nuv._types import DnsRecord as DnsRecord
from nuv._types import ErrorEntry as ErrorEntry
from nuv._types import FieldChange as FieldChange
from nuv._types import PlannedWrite as PlannedWrite
from nuv._types import PurgeFile as PurgeFile
from nuv._types import RecordType as RecordType
from nuv._types import UnrestoredRecord as UnrestoredRecord
from nuv._types import SyncResult as SyncResult
from nuv._types import SyncWrite as SyncWrite
from nuv._types import WantedRecord as WantedRecord
from nuv._types import Zone as Zone

@final
class ApiResponse(tuple[int | str, str]):
    """The (status, body) of a Cloudflare call: a tuple of exactly those two
    items (unpacking, indexing, == with a plain tuple, hashing and pickling
    work as for a tuple), which also reads the service's JSON envelope."""

    def __new__(cls, status: int | str, body: str, detail: str = "") -> ApiResponse: ...
    @property
    def status(self) -> int | str:
        """The HTTP status; libcurl's result code (or -1) when no exchange
        took place; the text "404" when ``dns_ensured_record`` found nothing
        to remove."""
    @property
    def body(self) -> str:
        """The response text, or the error text of a transport failure."""
    @property
    def ok(self) -> bool:
        """True when the status is an int in 200..299 and, if the body is the
        service's JSON envelope, its "success" is true."""
    @property
    def result(self) -> Any:
        """The envelope's "result", or None when absent."""
    @property
    def errors(self) -> list[ErrorEntry]:
        """The envelope's "errors"; [] when absent."""
    @property
    def messages(self) -> list[ErrorEntry]:
        """The envelope's "messages"; [] when absent."""
    @property
    def result_info(self) -> dict[str, Any] | None:
        """The envelope's "result_info" (paging), or None when absent."""
    @property
    def detail(self) -> str:
        """libcurl's detailed message of a transport failure, credentials
        masked; "" otherwise."""
    def json(self) -> Any:
        """The body parsed (once, then cached); ValueError when it is not JSON."""
    def raise_for_status(self) -> ApiResponse:
        """Return self when ``ok``; otherwise raise the matching
        ``CloudflareError`` subclass, with a hint as a note."""

class CloudflareError(Exception):
    """A Cloudflare call failed. ``hint`` (one sentence on what to do) is
    also added as a note, never part of ``str(e)``."""

    status: int | str | None
    errors: Sequence[ErrorEntry]
    response: ApiResponse | None
    hint: str | None
    unrestored: Sequence[UnrestoredRecord]
    """Records ``dns_ensured_record`` deleted to make room for the wanted
    one and could not put back (empty otherwise)."""
    record: SyncWrite | None
    """From ``dns_sync``: the write the service refused (else None)."""
    records: list[SyncWrite] | None
    """From ``dns_sync``: the writes that had to go together with it."""
    applied: list[SyncWrite] | None
    """From ``dns_sync``: what was applied before the failure (else None)."""

class AuthenticationError(CloudflareError):
    """The token was refused or lacks a permission (401, 403; 9109, 9103,
    10000, 6003, 6111)."""

class NotFoundError(CloudflareError):
    """The zone or record does not exist (404)."""

class RateLimitedError(CloudflareError):
    """Too many requests (429, code 971)."""

    retry_after: float | None

class ConflictError(CloudflareError):
    """A record of that name already exists (81053, 81054, 81057, 81058)."""

class TransportError(CloudflareError):
    """The request could not be made; the hint holds libcurl's detail."""

    curl_code: int | None

class ZoneNotFoundError(CloudflareError, TypeError):
    """No zone to act on: the look-up found none, or none is selected."""

class UnsafeSyncError(CloudflareError):
    """A whole-zone sync would update or delete more than its threshold of
    the records in scope; nothing was written."""

    updates: int
    deletes: int
    existing: int
    threshold: float

class AddressLookupError(Exception):
    """``lookup_address`` found no address to publish. ``hint`` (what to do,
    or None) is also added as a note."""

    source: str
    family: int
    hint: str | None

class AddressUnreadable(AddressLookupError):
    """The source could not be read (network, HTTP status, refused redirect,
    an answer too long, cut short or not text)."""

    status: int | None
    curl_code: int | None

class AddressRefused(AddressLookupError):
    """The source answered something that is not one global address of the
    family (private, loopback, documentation..., a zone index, a page)."""

    address: str
    reason: str

def lookup_address(
    source: str,
    family: Literal[4, 6],
    *,
    timeout: float = 10.0,
    connect_timeout: float = 5.0,
    retries: int = 2,
    proxy: str | None = None,
    allow_private: bool = False,
) -> str | None:
    """This host's address of ``family`` as ``source`` tells it:
    ``"url:URL"`` (a page answering the address as text or in an ``ip=``
    line, such as Cloudflare's ``/cdn-cgi/trace``), ``"iface:NAME"`` (the
    interface's first global, non-temporary address), ``"static:ADDRESS"``
    or ``"none"``. None when the source has no address of the family.
    Only one global unicast address passes (``allow_private=True`` also
    lets private, shared and documentation addresses through); anything else
    raises ``AddressRefused``, a source that cannot be read
    ``AddressUnreadable``. Pages are read over nuv's transport: ``proxy``
    None follows curl's proxy variables and ``no_proxy``, ``""`` connects
    directly; at most 3 redirects, to http or https only; at most 64 KiB;
    ``timeout`` bounds each attempt and ``retries`` repeats what failed
    without an answer. ValueError for a source that is none of these
    forms."""

class PingError(Exception):
    """``ping`` could not report: the network failed, or the service
    answered something other than 2xx."""

    url: str
    """The ping URL, masked (it is a credential of its own)."""
    status: int | None
    curl_code: int | None

def ping(
    url: str,
    *,
    event: Literal["start", "success", "fail"] | None = None,
    message: str | None = None,
    timeout: float = 10.0,
    connect_timeout: float = 5.0,
    retries: int = 2,
    proxy: str | None = None,
) -> int | None:
    """Report to a monitoring service: GET ``url``, or POST ``message`` to
    it as text (cut to 10 KiB). With ``event`` the URL is a check's: an
    Uptime Kuma push URL (its path holds ``/api/push/``) gets
    ``status=up`` (``down`` for "fail") and ``msg=`` the message (else OK)
    in its query, and sends nothing for "start" (None is returned); any
    other URL is a healthchecks.io-style check (``/start``, ``/fail`` after
    its path, the message as the body). Returns the status of a 2xx
    answer; raises ``PingError`` for any other answer (redirects are not
    followed) or a network failure, ValueError for a URL that is not
    http(s). Sent over nuv's transport (``proxy`` None follows curl's proxy
    variables, ``""`` connects directly); the URL is masked wherever it is
    shown."""


DEFAULT_API_URL: Final = "https://api.cloudflare.com/client/v4"

@final
class KeepType:
    """The type of ``KEEP``, which has no other instance."""

KEEP: Final[KeepType]
"""For ``proxied``, ``ttl`` or ``comment`` of ``dns_ensured_record`` and
``dns_plan``: an existing record keeps its own value (neither compared nor
sent); a record created gets the default (not proxied, ttl 1, no comment)."""

@disjoint_base
class Cloudflare:
    """Client of the Cloudflare v4 REST API.

    Every API method returns an ``ApiResponse``; transport failures and
    HTTP error statuses are returned, not raised (``raise_for_status()``
    turns them into exceptions). Every request and its headers are traced
    (by default on standard output, file descriptor 1; see ``set_trace``),
    with the token masked. Zone-scoped methods act on the selected zone, or
    on the one given as ``zone_id=``.
    """

    email: str
    """Stored only; no request uses it."""
    account: str
    """Stored only; no request uses it."""
    api_token: str
    """Sent as ``Authorization: Bearer <api_token>`` with every request."""
    api_url: str
    """Base URL prefixed to every path; ``DEFAULT_API_URL`` unless given."""

    def __init__(
        self,
        email: str = ...,
        account: str = ...,
        api_token: str = ...,
        proxy: str | None = ...,
        api_url: str = ...,
        *,
        zone_id: str | None = None,
        retries: int = 2,
        timeout: float = 30.0,
        connect_timeout: float = 10.0,
        rate_limit: int = 1200,
    ) -> None:
        """``proxy`` (write-once, not readable) is the proxy to use; the empty
        default means a direct connection, even when proxy variables are set. None uses the environment's
        proxy variables the way curl does (``https_proxy``/``HTTPS_PROXY``,
        ``all_proxy``/``ALL_PROXY``, ``no_proxy``/``NO_PROXY``). ``zone_id``
        selects a zone without a look-up (``zone`` stays "")."""

    retries: int
    """Extra attempts for a request that may safely be sent again (0..100)."""
    timeout: float
    """Seconds one attempt may take."""
    connect_timeout: float
    """Seconds one attempt may take to connect."""
    rate_limit: int
    """Requests per 300 s with this token, kept by the whole process (0: off)."""

    @property
    def zone(self) -> str:
        """Domain of the selected zone ("" until a look-up selects one)."""
    @zone.setter
    def zone(self, value: str) -> None: ...
    @property
    def zone_id(self) -> str:
        """Identifier of the selected zone ("" while none is selected)."""
    @zone_id.setter
    def zone_id(self, value: str) -> None: ...

    def fib(self, n: int) -> int:
        """F(n) modulo 2**32 by plain recursion; n is taken modulo 2**32 and
        must then be at most 10000 (ValueError otherwise)."""
    def fputs(self, filename: str, text: str) -> int:
        """Write ``text`` to ``filename`` (created or truncated): 0 on
        success, -1 when the write failed; OSError when it cannot be opened."""
    def get(self, path: str = ...) -> ApiResponse:
        """GET ``api_url + path`` (the raw path is sent as given); without a
        path, the first page of the account's zones."""
    def query(self, domain: str) -> ApiResponse:
        """Look the zone of ``domain`` up and select it (``zone``,
        ``zone_id``). Raises ZoneNotFoundError (a TypeError) "Domain not
        found: ..." when the service holds no such zone, the matching
        CloudflareError subclass when the look-up fails."""
    def dns_get_records(
        self,
        domain: str | None = None,
        type: RecordType | str = ...,
        name: str = ...,
        content: str = ...,
        *,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """List the zone's DNS records, optionally filtered (exact match).
        A ``domain`` other than ``zone`` is looked up first; with
        ``zone_id`` no look-up is made."""
    def dns_create_record(
        self,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool,
        ttl: int,
        comment: str | None = None,
        *,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """Create a record. For MX, ``content`` is "host|priority"
        (priority 10 when left out, 0..65535). ``proxied`` is sent for A,
        AAAA and CNAME only; ``ttl`` must be 0..2**31-1 (OverflowError), 1
        meaning automatic; ``comment`` is sent when given."""
    def dns_update_record(
        self,
        record_id: str,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool,
        ttl: int,
        comment: str | None = None,
        *,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """Overwrite the record ``record_id`` (PUT) with the given state;
        what is not given (a comment left out, tags) goes back to the
        service's defaults."""
    def dns_delete_record(self, record_id: str, *, zone_id: str | None = None) -> ApiResponse:
        """Delete the record ``record_id``."""
    def dns_ensured_record(
        self,
        domain: str,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool | KeepType,
        ttl: int | KeepType,
        present: SupportsIndex = True,
        replace: SupportsIndex = True,
        comment: str | KeepType | None = None,
        *,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """Bring one record into the wanted state with the fewest writes;
        a second call with the same arguments writes nothing. With
        ``zone_id`` the call acts on that zone without a look-up (``domain``
        is then not used) and leaves the selected zone alone; an empty
        ``domain`` means the selected zone.

        ``name`` is resolved against the zone: "@" and "" are the apex, a
        name without the zone's suffix is relative to it ("home" is
        home.<zone>), a final dot makes it fully qualified; a fully
        qualified name outside the zone raises ValueError before any
        request. ``KEEP`` as ``proxied``, ``ttl`` or ``comment``: an
        existing record keeps its own value; a created one gets the default.
        Records deleted to make room for the wanted one that cannot be put
        back raise, with them in ``.unrestored``.

        Returns the listing's response when nothing had to change, the
        response of the write it made (for several writes sent as one
        batch: the batch's status, and its answer with "result" holding the
        wanted record), the first failed write's response, ("404", message)
        when the record should not exist and none does, or (listing status,
        "Record found: ...") when an MX record of the wanted priority but
        another host exists and ``replace`` is false.

        Matching: names without ASCII case, one trailing dot and with
        internationalised labels as punycode; the type without case (sent
        upper case); A and AAAA contents as addresses; CNAME and MX targets
        as names; a TXT value listed as one quoted string equals its text.
        An MX is identified by its host; ``present=False`` removes only the
        MX with both the wanted host and priority. Then proxied, the ttl
        (not for proxied records, which the service keeps at automatic),
        the MX priority and, when given, the comment are compared; an update
        is a PATCH of the fields that differ. Several writes go as one
        atomic batch (200 writes at most per batch), one at a time when the
        service refuses the batch endpoint. What is sent is what was given.
        Every page of the name's listing is read (100 pages at most)."""
    def dns_plan(
        self,
        domain: str,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool | KeepType,
        ttl: int | KeepType,
        present: SupportsIndex = True,
        replace: SupportsIndex = True,
        comment: str | KeepType | None = None,
        *,
        zone_id: str | None = None,
    ) -> list[PlannedWrite]:
        """The writes dns_ensured_record would make with these arguments, in
        the order they would be sent, without making them (the look-ups and
        the listing are made). Each is a dict with "action" ("create",
        "update" or "delete"), "id" (None for a create), "type", "name",
        "content", "proxied", "ttl", "priority" (MX, else None) and
        "comment" of the record the write leaves (or removes), "reason"
        ("missing", "content differs", "ttl differs", "type conflict",
        "stale TXT value", ...), and "changes": for an update each field it
        changes as {"old": ..., "new": ...} (empty otherwise). An empty
        list: nothing to do."""
    def change_always_use_https(self, value: Literal["on", "off"] | str, *, zone_id: str | None = None) -> ApiResponse:
        """Set the zone's always_use_https setting ("on" or "off")."""
    def change_automatic_https_rewrites(
        self, value: Literal["on", "off"] | str, *, zone_id: str | None = None
    ) -> ApiResponse:
        """Set the zone's automatic_https_rewrites setting ("on" or "off")."""
    def change_ssl_model(
        self, value: Literal["off", "flexible", "full", "strict"] | str, *, zone_id: str | None = None
    ) -> ApiResponse:
        """Set the zone's SSL mode ("off", "flexible", "full", "strict")."""
    def purge_cache(
        self,
        *args: object,
        files: Sequence[str | PurgeFile] | None = None,
        tags: Sequence[str] | None = None,
        hosts: Sequence[str] | None = None,
        prefixes: Sequence[str] | None = None,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """Purge everything the zone has cached, or only the files, tags,
        hosts or URL prefixes given (one kind per call: ValueError
        otherwise). Positional arguments are ignored."""
    def list_zones(
        self, *, name: str | None = None, status: str | None = None, account_id: str | None = None
    ) -> list[Zone]:
        """Every zone the token can see (all pages), optionally filtered
        (``name`` takes the service's operators, e.g. "contains:.org").
        Raises the CloudflareError family on failure, and CloudflareError
        when the service claims more than 1000 pages."""
    def list_dns_records(
        self,
        domain: str | None = None,
        *,
        zone_id: str | None = None,
        type: RecordType | str | None = None,
        name: str | None = None,
        content: str | None = None,
        filters: dict[str, str | list[str] | tuple[str, ...]] | None = None,
        per_page: int = 5000,
    ) -> list[DnsRecord]:
        """Every DNS record of the zone (all pages, ``per_page`` a page,
        1..5000). ``type``, ``name`` and ``content`` are exact filters;
        ``filters`` takes the service's other query names
        ({"comment.contains": "x", "tag": ["a:1"], "match": "any"}). Raises
        the CloudflareError family on failure, and CloudflareError when the
        service claims more than 100 pages."""
    def get_zone_setting(self, setting_id: str, *, zone_id: str | None = None) -> ApiResponse:
        """Read one zone setting (its "result" holds "id" and "value")."""
    def dns_sync_plan(
        self,
        wanted: Iterable[WantedRecord],
        domain: str | None = None,
        *,
        zone_id: str | None = None,
        scope: Literal["zone"] | Iterable[str] = "zone",
        types: Iterable[str] | None = None,
        owner: str | None = None,
        owned_only: str | None = None,
        force: bool = False,
        threshold: float = 0.3,
    ) -> list[SyncWrite]:
        """The writes that bring the zone (or the part of it in scope) into
        the wanted state, in the order ``dns_sync`` sends them, without
        making them; "skip" entries (wanted records a record outside the
        scope keeps out) come last and are never sent. Raises
        UnsafeSyncError past the threshold unless ``force``."""
    def dns_sync(
        self,
        wanted: Iterable[WantedRecord],
        domain: str | None = None,
        *,
        zone_id: str | None = None,
        scope: Literal["zone"] | Iterable[str] = "zone",
        types: Iterable[str] | None = None,
        owner: str | None = None,
        owned_only: str | None = None,
        force: bool = False,
        threshold: float = 0.3,
    ) -> SyncResult:
        """Carry out ``dns_sync_plan``'s plan in batches, each all or
        nothing, a name's writes always in one batch."""

@disjoint_base
class DingTalkReply(str):
    """What a DingTalk send returns: the str it has always returned (the
    service's answer, or the transport's error text) with the answer's parts
    as attributes. ``errcode`` and ``errmsg`` are read from the text."""

    def __new__(cls, text: str, http_status: int | None = None, curl_code: int | None = None) -> DingTalkReply: ...
    @property
    def ok(self) -> bool:
        """True when the answer is HTTP 2xx with errcode 0."""
    @property
    def errcode(self) -> int | None:
        """The answer's errcode (0 for success), or None when the text is not the service's JSON."""
    @property
    def errmsg(self) -> str | None:
        """The answer's errmsg, or None when it has none."""
    @property
    def http_status(self) -> int | None:
        """The HTTP status, or None when no answer came."""
    @property
    def curl_code(self) -> int | None:
        """libcurl's result code when the transfer failed (the text is then its description), else None."""
    def raise_for_errcode(self) -> None:
        """Return None when the reply is ok; otherwise raise DingTalkError with the
        errcode, errmsg, HTTP status and a hint on what to do."""

@disjoint_base
class DingTalkError(Exception):
    """A DingTalk send that did not succeed, raised by ``DingTalkReply.raise_for_errcode()``."""

    errcode: int | None
    """The service's errcode, or None when it gave none."""
    errmsg: str | None
    """The service's errmsg, or None."""
    http_status: int | None
    """The HTTP status, or None when no answer came."""
    hint: str | None
    """What to do about it, or None when there is nothing to add."""

    def __init__(
        self,
        message: str,
        *,
        errcode: int | None = None,
        errmsg: str | None = None,
        http_status: int | None = None,
        hint: str | None = None,
    ) -> None: ...

@disjoint_base
class DingTalk:
    """Client of one DingTalk custom robot. Every send signs a fresh webhook
    URL and returns a ``DingTalkReply``, or None when no signed URL could be
    made."""

    token: str
    """The robot's access token, or its whole webhook URL (masked in the trace)."""
    secret: str
    """The robot's signing secret ("SEC...")."""
    keyword: str | None
    """The keyword the robot's security setting wants, appended to a message's
    visible text when absent; None for none."""

    def __init__(
        self,
        token: str = ...,
        secret: str = ...,
        *,
        keyword: str | None = None,
        proxy: str | None = None,
        retries: int = 2,
        timeout: float = 30.0,
        connect_timeout: float = 10.0,
        rate_limit: int = 20,
    ) -> None:
        """A ``token`` starting with "http://" or "https://" must be the robot's
        webhook URL (ValueError otherwise); the access token is taken from it.
        ``proxy`` (write-once, not readable) is the proxy to use, "" a direct
        connection; None (the default) uses the environment's proxy variables
        the way curl does for https (``https_proxy``/``HTTPS_PROXY``,
        ``all_proxy``/``ALL_PROXY``, ``no_proxy``/``NO_PROXY``)."""

    retries: int
    """Extra attempts for a send that provably never reached the robot."""
    timeout: float
    """Seconds one attempt may take."""
    connect_timeout: float
    """Seconds one attempt may take to connect."""
    rate_limit: int
    """Messages per 60 s to this robot, kept by the whole process (0: off)."""
    def send_text(
        self,
        content: str,
        at_mobiles: list[str] | tuple[str, ...] = (),
        *,
        at_user_ids: list[str] | tuple[str, ...] = (),
        at_all: bool = False,
    ) -> DingTalkReply | None:
        """Post a text message; the mentions go in its "at", and the robot's
        keyword is appended after a blank when the content lacks it."""
    def send_markdown(
        self,
        title: str,
        text: str,
        at_mobiles: list[str] | tuple[str, ...] = (),
        *,
        at_user_ids: list[str] | tuple[str, ...] = (),
        at_all: bool = False,
    ) -> DingTalkReply | None:
        """Post a markdown message. Every mobile or user id the text does not
        mention yet ("@" and the number, not followed by another digit) is
        appended after a blank line as "@...", so the service notifies it, and
        "@all" with ``at_all``; the robot's keyword goes on a line of its own
        when title and text lack it. ``mobiles=`` still works for ``at_mobiles``."""
    def send_link(self, title: str, text: str, message_url: str, pic_url: str = "") -> DingTalkReply | None:
        """Post a link message. ``title`` and ``text`` must not be empty;
        ``message_url`` (and ``pic_url`` when given) must be http(s) URLs."""
    def send_action_card(
        self,
        title: str,
        text: str,
        *,
        single_title: str | None = None,
        single_url: str | None = None,
        buttons: Sequence[tuple[str, str] | list[str]] = (),
        button_orientation: Literal["vertical", "horizontal"] = "vertical",
    ) -> DingTalkReply | None:
        """Post an action card: one whole-card button (``single_title`` and
        ``single_url``) or several (``buttons``: (title, url) pairs)."""
    def send_feed_card(
        self, links: Sequence[tuple[str, str, str] | list[str] | Mapping[str, str]]
    ) -> DingTalkReply | None:
        """Post a feed card: (title, message_url, pic_url) triples or dicts
        with those keys (``pic_url`` may be left out)."""
