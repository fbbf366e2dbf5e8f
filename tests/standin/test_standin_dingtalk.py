"""The DingTalk robot: signature, timestamp window, message checks, rate limit, the record of accepted messages."""

from __future__ import annotations

import json
import time
import urllib.parse

import pytest
from nuv.testing._dingtalk import signature

SECRET = "SEC" + "0123456789abcdef" * 4
MORE = "more: [https://ding-doc.dingtalk.com/doc#/serverapi2/qf2nxq]"
TEXT = {"msgtype": "text", "text": {"content": "deploy done @15500000000"}, "at": {"atMobiles": ["15500000000"]}}


def test_signature_matches_the_documented_vectors():
    assert urllib.parse.quote_plus(signature("this is secret", "1577836800000")) == (
        "fFV9t5lBS7KH4%2B5B0JjR99ab%2BAJkXFauQXycgTkS%2Ftc%3D"
    )
    # The reference's second vector was computed with 63 zeros, whatever its prose says.
    assert urllib.parse.quote_plus(signature("SEC" + "0" * 63, "1700000000000")) == (
        "mphPIqgjGbRzHPELpWQPiram3BEkrp9g5J866J8sMcg%3D"
    )


def signed_target(token: str, timestamp: str | None = None, sign: str | None = None) -> str:
    timestamp = timestamp if timestamp is not None else str(round(time.time() * 1000))
    sign = sign if sign is not None else urllib.parse.quote_plus(signature(SECRET, timestamp))
    return f"/robot/send?access_token={urllib.parse.quote(token)}&timestamp={timestamp}&sign={sign}"


@pytest.fixture
def send(fresh_standin, client):
    fresh_standin.add_robot("robot-1", SECRET)

    def post(body, target=None, method="POST"):
        reply = client.request(method, target or signed_target("robot-1"), body, {"Content-Type": "application/json"})
        assert reply.status == 200
        return reply.json

    return post


def test_accepted_message_is_recorded(fresh_standin, send):
    assert send(TEXT) == {"errcode": 0, "errmsg": "ok"}
    markdown = {"msgtype": "markdown", "markdown": {"title": "t", "text": "# 标题"}}
    assert send(markdown)["errcode"] == 0
    messages = fresh_standin.messages("robot-1")
    assert [m["msgtype"] for m in messages] == ["text", "markdown"]
    assert messages[0]["body"] == TEXT and messages[1]["raw_body"] == json.dumps(markdown)
    assert messages[0]["query"]["access_token"] == ["robot-1"]


def test_security_failures(send):
    stale = str(round(time.time() * 1000) - 3601 * 1000)
    now = str(round(time.time() * 1000))
    raw_plus_sign = signature(SECRET, now)  # '+' left unencoded decodes to a blank
    cases = [
        (signed_target("no-such-robot"), (300001, "token is not exist")),
        ("/robot/send", (300001, "token is not exist")),
        (signed_target("robot-1", sign="AAAA"), (310000, f"sign not match, {MORE}")),
        (signed_target("robot-1", timestamp=stale), (310000, f"invalid timestamp, {MORE}")),
        (signed_target("robot-1", timestamp="soon"), (310000, f"invalid timestamp, {MORE}")),
        ("/robot/send?access_token=robot-1", (310000, f"invalid timestamp, {MORE}")),
    ]
    if "+" in raw_plus_sign:
        cases.append((signed_target("robot-1", timestamp=now, sign=raw_plus_sign), (310000, f"sign not match, {MORE}")))
    for target, (code, message) in cases:
        assert send(TEXT, target) == {"errcode": code, "errmsg": message}, target


@pytest.mark.parametrize(
    ("body", "errcode"),
    [
        ({"msgtype": "image", "image": {"picURL": "x"}}, 400105),
        ({"text": {"content": "no type"}}, 400105),
        ({"msgtype": "text", "text": {}}, 40035),
        ({"msgtype": "markdown", "markdown": {"title": "only a title"}}, 40035),
        ({"msgtype": "text", "text": {"content": "x"}, "at": {"atMobiles": [155]}}, 40035),
        ({"msgtype": "actionCard", "actionCard": {"title": "t", "text": "x"}}, 40035),
        ("not json", 40035),
        ([TEXT], 40035),
    ],
)
def test_message_checks(fresh_standin, send, body, errcode):
    assert send(body)["errcode"] == errcode
    assert fresh_standin.messages("robot-1") == []


def test_every_documented_message_type_is_accepted(send):
    bodies = [
        {"msgtype": "link", "link": {"text": "t", "title": "t", "messageUrl": "https://example.com/"}},
        {
            "msgtype": "actionCard",
            "actionCard": {"title": "t", "text": "x", "singleTitle": "go", "singleURL": "https://e/"},
        },
        {
            "msgtype": "actionCard",
            "actionCard": {"title": "t", "text": "x", "btns": [{"title": "a", "actionURL": "https://e/"}]},
        },
        {
            "msgtype": "feedCard",
            "feedCard": {"links": [{"title": "t", "messageURL": "https://e/", "picURL": "https://e/p"}]},
        },
    ]
    assert [send(body)["errcode"] for body in bodies] == [0, 0, 0, 0]


def test_only_post(send):
    assert send(None, method="GET") == {"errcode": 43002, "errmsg": "需要POST请求"}


def test_rate_limit_throttles_the_robot(fresh_standin, client, send):
    fresh_standin.add_robot("limited", SECRET, rate_limit=3, window=60, throttle=600)
    outcomes = [send(TEXT, signed_target("limited"))["errcode"] for _ in range(5)]
    assert outcomes == [0, 0, 0, 410100, 410100]
    assert len(fresh_standin.messages("limited")) == 3
    # Other robots have their own count: the service's 20 a minute by default.
    assert [send(TEXT)["errcode"] for _ in range(21)] == [0] * 20 + [410100]


def test_rate_limits_switched_off_or_scaled(fresh_standin, send):
    assert fresh_standin.dingtalk_options(rate_limits=False)["rate_limits"] is False
    assert [send(TEXT)["errcode"] for _ in range(25)] == [0] * 25
    fresh_standin.dingtalk_options(rate_limits=True, time_scale=0.002)  # 0.12 s window, 1.2 s throttle
    fresh_standin.add_robot("scaled", SECRET, rate_limit=1)
    assert [send(TEXT, signed_target("scaled"))["errcode"] for _ in range(2)] == [0, 410100]
    time.sleep(1.3)
    assert send(TEXT, signed_target("scaled"))["errcode"] == 0
    fresh_standin.reset()
    assert fresh_standin.dingtalk_options() == {"rate_limits": True, "time_scale": 1.0, "unknown_token_code": 300001}


@pytest.mark.parametrize(
    "code, errmsg",
    [(300001, "token is not exist"), (300005, "token is not exist"),
     (400101, "access_token不存在，请确认access_token拼写是否正确")],
)  # fmt: skip
def test_unknown_token_answers(fresh_standin, send, code, errmsg):
    fresh_standin.dingtalk_options(unknown_token_code=code)
    assert send(TEXT, signed_target("nobody")) == {"errcode": code, "errmsg": errmsg}


def test_options_are_checked(fresh_standin):
    for bad in ({"unknown_token_code": 404}, {"time_scale": 0}, {"rate_limits": "no"}, {"colour": 1}):
        with pytest.raises(Exception, match="400"):
            fresh_standin._call("POST", "/dingtalk/options", bad)


def test_unsigned_robot_skips_the_signature(fresh_standin, send):
    fresh_standin.add_robot("keyword-bot", None, keywords=["deploy"])
    assert send(TEXT, "/robot/send?access_token=keyword-bot")["errcode"] == 0
    other = {"msgtype": "text", "text": {"content": "hello"}}
    assert send(other, "/robot/send?access_token=keyword-bot") == {
        "errcode": 310000,
        "errmsg": f"keywords not in content, {MORE}",
    }


CARD = {"title": "Build", "text": "passed", "singleTitle": "Open", "singleURL": "https://e/"}


@pytest.mark.parametrize(
    "keyword, body, accepted",
    [
        # Field names are not visible text: a keyword equal to one matches nothing by itself.
        ("content", {"msgtype": "text", "text": {"content": "hello"}}, False),
        ("title", {"msgtype": "markdown", "markdown": {"title": "t", "text": "x"}}, False),
        ('say "hi"', {"msgtype": "text", "text": {"content": 'we say "hi"\tthere'}}, True),
        ("a\tb", {"msgtype": "text", "text": {"content": "a\tb"}}, True),
        ("back\\slash", {"msgtype": "text", "text": {"content": "back\\slash"}}, True),
        ("部署", {"msgtype": "markdown", "markdown": {"title": "部署", "text": "x"}}, True),
        ("Build", {"msgtype": "actionCard", "actionCard": CARD}, True),
        ("Open", {"msgtype": "actionCard", "actionCard": CARD}, True),
        ("https", {"msgtype": "actionCard", "actionCard": CARD}, False),  # URLs are not shown as text
        ("passed", {"msgtype": "link", "link": {"title": "t", "text": "passed", "messageUrl": "https://e/"}}, True),
        ("two", {"msgtype": "feedCard", "feedCard": {"links": [
            {"title": "one", "messageURL": "https://e/", "picURL": ""},
            {"title": "two", "messageURL": "https://e/", "picURL": ""}]}}, True),
        ("feedCard", {"msgtype": "feedCard", "feedCard": {"links": [
            {"title": "one", "messageURL": "https://e/", "picURL": ""}]}}, False),
    ],
)  # fmt: skip
def test_keywords_are_looked_for_in_the_visible_texts(fresh_standin, send, keyword, body, accepted):
    fresh_standin.add_robot("keyword-bot", None, keywords=["unrelated", keyword])
    assert send(body, "/robot/send?access_token=keyword-bot")["errcode"] == (0 if accepted else 310000)


LINK = {"title": "t", "text": "x", "messageUrl": "https://e/"}
FEED_LINK = {"title": "t", "messageURL": "https://e/", "picURL": ""}


@pytest.mark.parametrize(
    "part, errcode",
    [
        ({"link": LINK}, 0),
        ({"link": {**LINK, "picUrl": "https://e/p"}}, 0),
        ({"link": {"title": "t", "text": "x", "messageURL": "https://e/"}}, 40035),  # feedCard's casing
        ({"link": {**LINK, "picURL": "https://e/p"}}, 40035),
        ({"actionCard": {**CARD, "btnOrientation": "1", "hideAvatar": "0"}}, 0),
        ({"actionCard": {**CARD, "btnOrientation": "horizontal"}}, 40035),
        ({"actionCard": {"title": "t", "text": "x", "singleTitle": "a", "singleUrl": "https://e/"}}, 40035),
        ({"actionCard": {"title": "t", "text": "x", "btns": [{"title": "a", "actionUrl": "https://e/"}]}}, 40035),
        ({"actionCard": {"title": "t", "text": "x", "btns": []}}, 40035),
        ({"actionCard": {**CARD, "btns": [{"title": "a", "actionURL": "https://e/"}]}}, 40035),  # both forms
        ({"actionCard": {"title": "t", "text": "x", "singleTitle": "a"}}, 40035),
        ({"feedCard": {"links": [FEED_LINK]}}, 0),
        ({"feedCard": {"links": [{"title": "t", "messageUrl": "https://e/", "picUrl": ""}]}}, 40035),  # link's casing
        ({"feedCard": {"links": [{"title": "t", "messageURL": "https://e/"}]}}, 40035),
        ({"feedCard": {"links": []}}, 40035),
        ({"text": {"content": "x"}, "at": {"atMobiles": ["1"], "atUserIds": ["u"], "isAtAll": True}}, 0),
        ({"text": {"content": "x"}, "at": {"atmobiles": ["1"]}}, 40035),
        ({"text": {"content": "x"}, "at": {"isAtAll": "true"}}, 40035),
        ({"markdown": {"title": "t", "text": "x", "Text": "y"}}, 40035),
    ],
)  # fmt: skip
def test_body_shape_and_casing_of_every_type(fresh_standin, send, part, errcode):
    msgtype = next(k for k in part if k != "at")
    assert send({"msgtype": msgtype, **part})["errcode"] == errcode
