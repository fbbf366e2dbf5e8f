"""The three zone settings and the cache purge: one request each, the value
sent as given, the service's answer returned whatever it says."""

import pytest
from cloudflare_support import ZONE_ID, error_of, result_of, sent

SETTINGS = [
    ("change_always_use_https", "always_use_https", "on"),
    ("change_ssl_model", "ssl", "full"),
    ("change_automatic_https_rewrites", "automatic_https_rewrites", "on"),
]


@pytest.mark.parametrize("method, setting, value", SETTINGS)
def test_setting_is_patched(zcf, fresh_standin, method, setting, value):
    result = result_of(getattr(zcf, method)(value))
    assert (result["id"], result["value"]) == (setting, value)
    (request,) = sent(fresh_standin)
    assert (request["method"], request["target"]) == ("PATCH", f"/client/v4/zones/{ZONE_ID}/settings/{setting}")
    assert request["body"] == '{\n  "value": "%s"\n}' % value
    assert fresh_standin.settings(ZONE_ID)[setting] == value


@pytest.mark.parametrize("method, setting, _", SETTINGS)
@pytest.mark.parametrize("value", ["", "bogus", "ON"])
def test_refused_value_is_still_sent_and_answered(zcf, fresh_standin, method, setting, _, value):
    before = fresh_standin.settings(ZONE_ID)
    assert error_of(getattr(zcf, method)(value=value)) == (400, 1007, f"Invalid value for zone setting {setting}")
    assert sent(fresh_standin)[0]["body"] == '{\n  "value": "%s"\n}' % value
    assert fresh_standin.settings(ZONE_ID) == before


def test_value_is_escaped_as_json(echo_cf):
    import json

    echo_cf.zone_id = "z/1"
    echo = json.loads(echo_cf.change_ssl_model('a"b/c')[1])
    assert echo["target"].endswith("/zones/z%2F1/settings/ssl")
    assert echo["body"] == '{\n  "value": "a\\"b\\/c"\n}'


@pytest.mark.parametrize("method, _setting, _value", SETTINGS)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), (("on", "off"), {}), ((), {"val": "on"}), (("o\0n",), {})])
def test_setting_argument_errors_win_and_send_nothing(cf, fresh_standin, method, _setting, _value, args, kwargs):
    with pytest.raises((TypeError, ValueError)) as caught:
        getattr(cf, method)(*args, **kwargs)
    assert "Zone id is null" not in str(caught.value)
    assert sent(fresh_standin) == []


@pytest.mark.parametrize("method", [m for m, _, _ in SETTINGS])
def test_setting_needs_a_zone_id(cf, fresh_standin, method):
    with pytest.raises(TypeError, match=r"^Zone id is null, please query domain first\.\n"):
        getattr(cf, method)("on")
    assert sent(fresh_standin) == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, None, "x"), {}), ((["a"],), {"files": None})])
def test_purge_everything_ignores_its_positional_arguments(zcf, fresh_standin, args, kwargs):
    assert result_of(zcf.purge_cache(*args, **kwargs)) == {"id": ZONE_ID}
    (request,) = sent(fresh_standin)
    assert (request["method"], request["target"]) == ("POST", f"/client/v4/zones/{ZONE_ID}/purge_cache")
    assert request["body"] == '{\n  "purge_everything": true\n}'
    assert fresh_standin.purges(ZONE_ID) == 1


@pytest.mark.parametrize("args, kwargs", [((), {}), (("x",), {"tags": ["t"]})])
def test_purge_needs_a_zone_id_whatever_its_arguments(cf, fresh_standin, args, kwargs):
    with pytest.raises(TypeError, match=r"^Zone id is null, please query domain first\.\n"):
        cf.purge_cache(*args, **kwargs)
    assert sent(fresh_standin) == []
