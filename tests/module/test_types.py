"""The module and its two types as a script sees them."""

import gc
import inspect
import weakref

import _nuv
import nuv
import pytest
from nuv import Cloudflare, DingTalk

DEFAULT_API_URL = "https://api.cloudflare.com/client/v4"


RESULT_AND_ERROR_TYPES = [
    "ApiResponse",
    "CloudflareError",
    "AuthenticationError",
    "NotFoundError",
    "RateLimitedError",
    "ConflictError",
    "TransportError",
    "ZoneNotFoundError",
    "DingTalkReply",
    "DingTalkError",
]


def test_module_publishes_the_types_and_nuv_re_exports_them():
    public = [name for name in vars(_nuv) if not name.startswith("__")]
    assert {"Cloudflare", "DingTalk", "set_trace", "get_trace"} <= set(public)
    for name in ["Cloudflare", "DingTalk", *RESULT_AND_ERROR_TYPES, "set_trace", "get_trace"]:
        assert getattr(nuv, name) is getattr(_nuv, name), name
        assert name in nuv.__all__


def test_type_names_docs_and_module():
    assert Cloudflare.__module__ == "nuv" and DingTalk.__module__ == "nuv"
    assert repr(Cloudflare) == "<class 'nuv.Cloudflare'>"
    # The keyword is `secret` (the doc once said "salt").
    assert DingTalk.__text_signature__ == (
        "(token='', secret='', *, keyword=None, proxy=None, retries=2, timeout=30.0, connect_timeout=10.0, "
        "rate_limit=20)"
    )
    assert "secret is its signing secret" in DingTalk.__doc__ and "salt" not in DingTalk.__doc__
    for name in ("send_text", "send_markdown", "send_link", "send_action_card", "send_feed_card"):
        method = getattr(DingTalk, name)
        assert method.__text_signature__.startswith("($self, /, ") and method.__doc__, name
    assert DingTalk.secret.__doc__ == "DingTalk secret"
    firsts = [getattr(Cloudflare, name).__doc__.splitlines()[0] for name in ("email", "account", "api_token", "api_url")]
    assert firsts == ["Cloudflare email", "Cloudflare account", "Cloudflare token", "Cloudflare default entry point url"]


def test_help_documents_every_part_of_the_cloudflare_surface():
    """help() and inspect.signature are useful: every method, attribute and
    type says what it does, and every method's signature can be read."""
    parts = [name for name in dir(Cloudflare) if not name.startswith("_")]
    assert {"dns_ensured_record", "purge_cache", "zone_id", "api_token"} <= set(parts)
    undocumented = [name for name in parts if not (getattr(Cloudflare, name).__doc__ or "").strip()]
    assert undocumented == []
    for name in parts:
        member = getattr(Cloudflare, name)
        if callable(member):
            assert "self" in inspect.signature(member).parameters, name
    assert "zone_id" in inspect.signature(Cloudflare).parameters
    assert "zone_id" in inspect.signature(Cloudflare.dns_ensured_record).parameters
    for cls in (nuv.ApiResponse, *(getattr(nuv, name) for name in RESULT_AND_ERROR_TYPES)):
        assert cls.__doc__ and cls.__module__ == "nuv", cls
    assert _nuv.__doc__ and "Cloudflare" in _nuv.__doc__


@pytest.mark.parametrize("cls", [Cloudflare, DingTalk])
def test_types_subclass_but_instances_take_no_attributes_or_weakrefs(cls):
    class Sub(cls):
        pass

    assert isinstance(Sub(), cls)
    obj = cls()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


class _Marker:
    """Something a weak reference can follow into a cycle."""


@pytest.mark.parametrize(
    "make, field",
    [
        (Cloudflare, "email"),
        (Cloudflare, "account"),
        (Cloudflare, "api_token"),
        (Cloudflare, "api_url"),
        (DingTalk, "token"),
        (DingTalk, "secret"),
    ],
)
@pytest.mark.parametrize("subclassed", [False, True])
def test_reference_cycles_through_an_instance_are_collected(make, field, subclassed):
    cls = type("Sub", (make,), {}) if subclassed else make
    obj, marker = cls(), _Marker()
    marker.back = obj
    setattr(obj, field, marker)  # obj -> marker -> obj
    gone = weakref.ref(marker)
    del obj, marker
    gc.collect()
    assert gone() is None


class TestCloudflareConstruction:
    def test_defaults(self):
        cf = Cloudflare()
        assert (cf.email, cf.account, cf.api_token) == ("", "", "")
        assert cf.api_url == DEFAULT_API_URL

    def test_positional_order_puts_proxy_before_api_url(self, capfd):
        cf = Cloudflare("e", "a", "t", "http://u:p@127.0.0.1:9")
        assert cf.api_url == DEFAULT_API_URL
        cf = Cloudflare("e", "a", "t", "", "https://example.invalid/v4")
        assert (cf.email, cf.account, cf.api_token, cf.api_url) == (
            "e",
            "a",
            "t",
            "https://example.invalid/v4",
        )

    def test_keywords_and_str_subclasses(self):
        class S(str):
            pass

        cf = Cloudflare(api_token=S("tok"), email="me@example.com")
        assert cf.api_token == "tok" and type(cf.api_token) is S
        assert cf.email == "me@example.com"

    @pytest.mark.parametrize(
        "args, kwargs",
        [((1,), {}), ((), {"api_token": 5}), (("a",) * 6, {}), ((), {"unknown": "x"})],
    )
    def test_bad_arguments_raise_type_error(self, args, kwargs):
        with pytest.raises(TypeError):
            Cloudflare(*args, **kwargs)

    def test_reinit_keeps_fields_but_resets_api_url(self):
        cf = Cloudflare("e", "a", "t", "", "https://example.invalid/v4")
        cf.__init__(email="new")
        assert (cf.email, cf.account, cf.api_token) == ("new", "a", "t")
        assert cf.api_url == DEFAULT_API_URL

    def test_failed_reinit_changes_nothing(self):
        cf = Cloudflare("e", "a", "t")
        with pytest.raises(TypeError):
            cf.__init__("x", 2)
        assert (cf.email, cf.account) == ("e", "a")


class TestCloudflareFields:
    def test_zone_properties_read_empty_and_stay_unset(self):
        cf = Cloudflare()
        assert cf.zone == "" and cf.zone_id == ""
        # Still unset: a zone method refuses to run.
        with pytest.raises(TypeError, match="^Zone id is null, please query domain first.\n"):
            cf.purge_cache()

    def test_zone_properties_take_str_only(self):
        cf = Cloudflare()
        cf.zone_id = "z1"
        for bad in (5, None, b"z"):
            with pytest.raises(TypeError, match="^value should be unicode$"):
                cf.zone_id = bad
        with pytest.raises(TypeError, match="^value should be unicode$"):
            del cf.zone
        assert cf.zone_id == "z1"
        cf.zone = ""
        assert cf.zone == ""

    def test_members_take_anything_and_can_be_deleted(self):
        cf = Cloudflare()
        cf.api_token = 12345
        assert cf.api_token == 12345
        del cf.email
        with pytest.raises(AttributeError):
            cf.email
        del cf.api_url
        with pytest.raises(AttributeError):
            cf.api_url

    def test_proxy_is_not_exposed(self):
        cf = Cloudflare(proxy="http://127.0.0.1:9")
        assert not hasattr(cf, "proxy")

    def test_fields_are_released(self):
        class Token(str):
            pass

        token = Token("t")
        ref = weakref.ref(token)
        cf = Cloudflare(api_token=token)
        cf.zone_id = "z"
        del token, cf
        gc.collect()
        assert ref() is None


class TestDingTalkConstruction:
    def test_defaults_and_arguments(self):
        bot = DingTalk()
        assert (bot.token, bot.secret) == ("", "")
        assert DingTalk("t").token == "t" and DingTalk("t").secret == ""
        only_secret = DingTalk(secret="SEC1")
        assert (only_secret.token, only_secret.secret) == ("", "SEC1")

    @pytest.mark.parametrize(
        "args, kwargs",
        [((1,), {}), (("a", "b", "c"), {}), ((), {"salt": "x"}), (("a",), {"token": "b"}), ((), {"proxy": b"http://p"})],
    )
    def test_bad_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            DingTalk(*args, **kwargs)

    def test_reinit_keeps_what_is_left_out(self):
        bot = DingTalk("t", "s")
        bot.__init__()
        assert (bot.token, bot.secret) == ("t", "s")
        bot.__init__(secret="s2")
        assert (bot.token, bot.secret) == ("t", "s2")

    def test_members_accept_anything_and_deletion(self):
        bot = DingTalk("t", "s")
        bot.token = 3
        assert bot.token == 3
        del bot.secret
        with pytest.raises(AttributeError):
            bot.secret
