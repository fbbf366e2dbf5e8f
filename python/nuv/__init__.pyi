"""Type stubs of the nuv clients (implemented in the _nuv extension)."""

from collections.abc import Sequence
from typing import Any, Final, Literal, SupportsIndex, final

from typing_extensions import disjoint_base

__all__ = [
    "Cloudflare",
    "DingTalk",
    "ApiResponse",
    "DEFAULT_API_URL",
    "CloudflareError",
    "AuthenticationError",
    "NotFoundError",
    "RateLimitedError",
    "ConflictError",
    "TransportError",
    "ZoneNotFoundError",
    "RecordType",
    "DnsRecord",
    "Zone",
    "PlannedWrite",
    "ErrorEntry",
    "PurgeFile",
]

from nuv._types import DnsRecord as DnsRecord
from nuv._types import ErrorEntry as ErrorEntry
from nuv._types import PlannedWrite as PlannedWrite
from nuv._types import PurgeFile as PurgeFile
from nuv._types import RecordType as RecordType
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

DEFAULT_API_URL: Final = "https://api.cloudflare.com/client/v4"

@disjoint_base
class Cloudflare:
    """Client of the Cloudflare v4 REST API.

    Every API method returns an ``ApiResponse``; transport failures and
    HTTP error statuses are returned, not raised (``raise_for_status()``
    turns them into exceptions). Every request and its headers are traced on
    standard output (file descriptor 1), with the token masked. Zone-scoped
    methods act on the selected zone, or on the one given as ``zone_id=``.
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
        proxy: str = ...,
        api_url: str = ...,
        *,
        zone_id: str | None = None,
    ) -> None:
        """``proxy`` (write-once, not readable) overrides the ``http_proxy``
        environment variable; the empty default means a direct connection.
        ``zone_id`` selects a zone without a look-up (``zone`` stays "")."""

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
        (priority 10 when left out). ``proxied`` is sent for A, AAAA and
        CNAME only; ``ttl`` 1 means automatic."""
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
        """Overwrite the record ``record_id`` (PUT) with the given state."""
    def dns_delete_record(self, record_id: str, *, zone_id: str | None = None) -> ApiResponse:
        """Delete the record ``record_id``."""
    def dns_ensured_record(
        self,
        domain: str,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool,
        ttl: int,
        present: SupportsIndex = True,
        replace: SupportsIndex = True,
        comment: str | None = None,
        *,
        zone_id: str | None = None,
    ) -> ApiResponse:
        """Bring one record into the wanted state with the fewest writes; a
        second call with the same arguments writes nothing.

        Returns the listing's response when nothing had to change, the
        response of the write it made, ("404", message) when the record
        should not exist and none does, or (listing status, "Record found:
        ...") when an MX record of the wanted priority but another host
        exists and ``replace`` is false. With ``zone_id`` the call acts on
        that zone without a look-up and leaves the selected zone alone."""
    def dns_plan(
        self,
        domain: str,
        type: RecordType | str,
        name: str,
        content: str,
        proxied: bool,
        ttl: int,
        present: SupportsIndex = True,
        replace: SupportsIndex = True,
        comment: str | None = None,
        *,
        zone_id: str | None = None,
    ) -> list[PlannedWrite]:
        """The writes ``dns_ensured_record`` would make with these arguments,
        in order, without making them. An empty list: nothing to do."""
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

@disjoint_base
class DingTalk:
    """Client of one DingTalk custom robot (access token and signing
    secret). Every send signs a fresh webhook URL."""

    token: str
    """The robot's access token (masked in the trace)."""
    secret: str
    """The robot's signing secret ("SEC...")."""

    def __init__(self, token: str = ..., secret: str = ...) -> None: ...
    def send_text(self, content: str) -> str | None:
        """Post a text message; returns the service's response text (or the
        transport error text), None when no signed URL could be made."""
    def send_markdown(
        self, title: str, text: str, mobiles: list[str] | tuple[str, ...] = ...
    ) -> str | None:
        """Post a markdown message mentioning ``mobiles`` (a list or tuple
        of str; None is refused). Numbers that ``text`` does not mention yet
        are appended after a blank line as "@number", so the service
        notifies them."""
