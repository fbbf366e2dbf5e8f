"""Every argument of every method, any Python object: embedded NULs, lone
surrogates, huge ints, str subclasses whose dunders misbehave or raise. The
outcome is a documented value or a documented exception, never a crash.

Clients that make requests use a base URL and a proxy on a closed 127.0.0.1
port, so every transfer fails at once; base URLs and proxies are never taken
from generated values (they would name real hosts)."""

from __future__ import annotations

import os

from fuzz_helpers import DOMAIN, ZONE_ID
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from nuv import Cloudflare, CloudflareError, DingTalk


class Boom(Exception):
    """Raised by the misbehaving dunders below."""


class LoudStr(str):
    def __str__(self):
        raise Boom("__str__")

    def __eq__(self, other):
        raise Boom("__eq__")

    def __hash__(self):
        raise Boom("__hash__")

    def __bool__(self):
        raise Boom("__bool__")

    def __len__(self):
        raise Boom("__len__")

    def __index__(self):
        raise Boom("__index__")


class LyingStr(str):
    def __str__(self):
        return "something else entirely"

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0

    def __index__(self):
        return 10**30


class StrNotStr(str):
    def __str__(self):
        return 42  # not a str: str() raises TypeError


class LoudIndex:
    def __index__(self):
        raise Boom("__index__")


class BigIndex:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self):
        return self.value


class WrongIndex:
    def __index__(self):
        return "not an int"


class LoudBool(int):
    def __bool__(self):
        raise Boom("__bool__")


class LoudObject:
    def __str__(self):
        raise Boom("__str__")

    def __bool__(self):
        raise Boom("__bool__")


weird_texts = st.one_of(
    st.text(max_size=20),  # lone surrogates included
    st.text(max_size=10).map(lambda t: t + "\x00" + t),
    st.sampled_from(["", "\ud800", "a\udfffb", "\x00", "é中🙂", "a" * 5000, "x&y=z#w", "../../x"]),
)
huge_ints = st.one_of(
    st.integers(),
    st.sampled_from([2**31, 2**32, 2**32 + 1, 2**63, 2**64, 2**100, -(2**31) - 1, -(2**63) - 1, -(2**100)]),
)
anything = st.one_of(
    weird_texts,
    huge_ints,
    st.none(),
    st.booleans(),
    st.floats(),
    st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray),
    st.lists(st.text(max_size=5), max_size=3),
    st.lists(st.text(max_size=5), max_size=3).map(tuple),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    weird_texts.map(LoudStr),
    weird_texts.map(LyingStr),
    weird_texts.map(StrNotStr),
    st.just(LoudIndex()),
    huge_ints.map(BigIndex),
    st.just(WrongIndex()),
    st.integers(-5, 5).map(LoudBool),
    st.just(LoudObject()),
    st.just(object()),
)

plausible = st.one_of(
    st.sampled_from(["A", "MX", "TXT", "host.example.com", "192.0.2.1", "mx.example.net|5", "on", "full", DOMAIN, "0" * 32]),
    st.integers(0, 300),
    st.booleans(),
)

# What an argument may raise: its own conversion's error, or the exception a
# misbehaving dunder raised.
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, UnicodeError, AttributeError, Boom)

CLOUDFLARE_METHODS = {
    # name: (parameter names, required count)
    "get": (["path"], 0),
    "query": (["domain"], 1),
    "dns_get_records": (["domain", "type", "name", "content"], 0),
    "dns_create_record": (["type", "name", "content", "proxied", "ttl"], 5),
    "dns_update_record": (["record_id", "type", "name", "content", "proxied", "ttl"], 6),
    "dns_delete_record": (["record_id"], 1),
    "dns_ensured_record": (["domain", "type", "name", "content", "proxied", "ttl", "present", "replace"], 6),
    "change_always_use_https": (["value"], 1),
    "change_automatic_https_rewrites": (["value"], 1),
    "change_ssl_model": (["value"], 1),
    "purge_cache": ([], 0),
}


def is_response(value) -> bool:
    return (
        isinstance(value, tuple)
        and len(value) == 2
        and isinstance(value[1], str)
        and (type(value[0]) is int or value[0] == "404")
    )


@st.composite
def calls(draw, parameters: list[str], required: int):
    """Positional, keyword or mixed arguments; sometimes too few, too many
    or an unknown keyword."""
    count = len(parameters) if draw(st.booleans()) else draw(st.integers(max(0, required - 1), len(parameters) + 1))
    # Mostly plausible values, so that calls get past the parser and a
    # single odd argument meets the code behind it.
    values = [draw(anything) if draw(st.integers(0, 2)) == 0 else draw(plausible) for _ in range(count)]
    split = draw(st.integers(0, min(count, len(parameters))))
    args = values[:split]
    kwargs = dict(zip(parameters[split:], values[split:]))
    if count > len(parameters):
        args = values  # one too many, all by position
        kwargs = {}
    if draw(st.integers(0, 9)) == 0:
        kwargs["unknown"] = draw(anything)
    return args, kwargs


def check_outcome(call, extra=(), bare_exception=False):
    """The call's value, or None when it raised a documented exception: an
    argument error, one of `extra`, or (`bare_exception`) a CloudflareError
    reporting the service's or the transport's failure."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the type is checked here
        documented = isinstance(error, ARGUMENT_ERRORS + tuple(extra))
        assert documented or (bare_exception and isinstance(error, CloudflareError)), repr(error)
        return None


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data(), method=st.sampled_from(sorted(CLOUDFLARE_METHODS)))
def test_cloudflare_methods_take_any_argument(offline, data, method):
    client = Cloudflare(api_token="t" * 20, api_url=offline)
    if data.draw(st.integers(0, 4)) > 0:
        client.zone = DOMAIN
        client.zone_id = ZONE_ID
    if data.draw(st.integers(0, 4)) == 0:
        client.api_token = data.draw(anything)  # any object; each call reads it with str()
    parameters, required = CLOUDFLARE_METHODS[method]
    if method == "purge_cache":
        args = data.draw(st.lists(anything, max_size=3))
        kwargs = data.draw(st.dictionaries(st.text(max_size=5), anything, max_size=2))
    else:
        args, kwargs = data.draw(calls(parameters, required))

    def call():
        return getattr(client, method)(*args, **kwargs)

    # The zone lookup's own failures: Exception with the answer's text, or
    # TypeError "Domain not found" (an ARGUMENT_ERRORS member already).
    result = check_outcome(call, bare_exception=method == "query")
    event("answered" if result is not None else "raised")
    if result is not None:
        assert is_response(result), result
        assert result[0] in (7, "404") or isinstance(result[0], int), result


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(n=st.one_of(st.integers(-30, 30), huge_ints.filter(lambda n: not 30 < n % 2**32 <= 10000), anything.filter(lambda a: not isinstance(a, int) or not 30 < a % 2**32 <= 10000)))
def test_fib_takes_any_argument(n):
    client = Cloudflare()
    result = check_outcome(lambda: client.fib(n))
    if result is not None:
        assert isinstance(result, int) and 0 <= result < 2**32


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(name=st.one_of(anything, st.text(st.characters(exclude_characters="/"), min_size=1, max_size=20)), text=anything)
def test_fputs_takes_any_argument(tmp_path, monkeypatch, name, text):
    # Relative names without "/" land in the test's own directory.
    monkeypatch.chdir(tmp_path)
    client = Cloudflare()
    result = check_outcome(lambda: client.fputs(name, text), extra=(OSError,))
    if result is not None:
        assert result in (0, -1)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(fields=st.dictionaries(st.sampled_from(["email", "account", "api_token", "proxy", "api_url", "other"]), anything, max_size=4),
       zone=anything, zone_id=anything)
def test_cloudflare_fields_take_any_value(fields, zone, zone_id):
    # Constructed and read back only: a generated base URL or proxy would
    # name a real host, so this client never sends.
    try:
        client = Cloudflare(**fields)
    except ARGUMENT_ERRORS:
        return
    for name in ("email", "account", "api_token", "api_url"):
        assert isinstance(getattr(client, name), str)
    for name, value in (("zone", zone), ("zone_id", zone_id)):
        try:
            setattr(client, name, value)
        except TypeError:
            assert not isinstance(value, str)
        else:
            assert getattr(client, name) is value
    check_outcome(lambda: client.fib(10))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data(), token=anything, secret=anything, markdown=st.booleans())
def test_dingtalk_takes_any_argument(offline, data, token, secret, markdown):
    # The webhook host is fixed; the environment's proxy (a closed port)
    # is the only way out.
    assert os.environ["https_proxy"].startswith("http://127.0.0.1:")
    try:
        robot = DingTalk(token=token, secret=secret)
    except ARGUMENT_ERRORS:
        robot = DingTalk(token="t", secret="SEC")
        robot.token = token  # members take any object; the send refuses them
        robot.secret = secret
    if markdown:
        mobiles = data.draw(st.one_of(anything, st.lists(anything, max_size=3), st.lists(weird_texts, max_size=3).map(tuple)))
        args, kwargs = data.draw(calls(["title", "text", "mobiles"], 2))
        if len(args) + len(kwargs) == 3 and data.draw(st.booleans()):
            kwargs["mobiles"] = mobiles
            args = args[:2]
        result = check_outcome(lambda: robot.send_markdown(*args, **kwargs))
    else:
        args, kwargs = data.draw(calls(["content"], 1))
        result = check_outcome(lambda: robot.send_text(*args, **kwargs))
    assert result is None or isinstance(result, str)
