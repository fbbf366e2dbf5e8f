"""What a send returns: a DingTalkReply (the same text as ever, with the
answer's parts) and the DingTalkError its raise_for_errcode() raises, for a
success, each refusal, an HTTP error and a transport failure; and the webhook
URL accepted as the token."""

from __future__ import annotations

import json
import copy
import pickle

import pytest
from nuv import DingTalk, DingTalkError, DingTalkReply
from robot_credentials import SECRET, TOKEN
from support import closed_port

OK = '{"errcode": 0, "errmsg": "ok"}'
MORE = "more: [https://ding-doc.dingtalk.com/doc#/serverapi2/qf2nxq]"


def fields(reply) -> tuple:
    return reply.ok, reply.errcode, reply.errmsg, reply.http_status, reply.curl_code


def test_success(fresh_standin, robot):
    reply = robot.send_text("x")
    assert type(reply) is DingTalkReply and isinstance(reply, str)
    assert reply == OK and json.loads(reply) == {"errcode": 0, "errmsg": "ok"} and repr(reply) == repr(OK)
    assert fields(reply) == (True, 0, "ok", 200, None)
    assert reply.raise_for_errcode() is None
    assert fields(pickle.loads(pickle.dumps(reply))) == fields(reply)


def answered(errcode, errmsg):
    """The robot answers the next send with HTTP 200 and this service answer."""

    def arrange(standin):
        standin.add_robot(TOKEN, SECRET)
        standin.add_fault("POST", "^/robot/send$", status=200, body={"errcode": errcode, "errmsg": errmsg})

    return arrange


def unknown_token_answer(code):
    return lambda standin: standin.dingtalk_options(unknown_token_code=code)


def wrong_secret(standin):
    standin.add_robot(TOKEN, SECRET + "x")


NEW_SIGN_TEXT = "description:机器人发送签名不匹配;solution:请确认签名和生成签名的时间戳必须都放在调用的网址中;"


@pytest.mark.parametrize(
    "arrange, errcode, errmsg, hint",
    [
        (wrong_secret, 310000, f"sign not match, {MORE}", 'whole secret (the "SEC..." value'),
        (answered(310000, NEW_SIGN_TEXT), 310000, NEW_SIGN_TEXT, "whole secret"),
        (answered(310000, f"invalid timestamp, {MORE}"), 310000, f"invalid timestamp, {MORE}",
         "clock is more than an hour off"),
        (answered(310000, f"keywords not in content, {MORE}"), 310000, f"keywords not in content, {MORE}",
         'DingTalk(..., keyword="...")'),
        (answered(310000, "ip 192.0.2.1 not in whitelist"), 310000, "ip 192.0.2.1 not in whitelist",
         "security settings"),
        (unknown_token_answer(300001), 300001, "token is not exist", "access token is wrong"),
        (unknown_token_answer(300005), 300005, "token is not exist", "or that whole URL"),
        (unknown_token_answer(400101), 400101, "access_token不存在，请确认access_token拼写是否正确", "access token"),
        (answered(410100, "发送速度太快而限流，请降低发送速度"), 410100, "发送速度太快而限流，请降低发送速度",
         "blocked for 10 minutes"),
        (answered(130101, "send too fast, exceed 20 times per minute"), 130101,
         "send too fast, exceed 20 times per minute", "at most 20 messages a minute"),
        (answered(400102, "机器人已停用"), 400102, "机器人已停用", "disabled"),
        (answered(-1, "系统繁忙"), -1, "系统繁忙", None),
    ],
)  # fmt: skip
def test_each_refusal(fresh_standin, robot_env, arrange, errcode, errmsg, hint):
    arrange(fresh_standin)
    reply = DingTalk(TOKEN, SECRET).send_markdown("t", "x")
    assert fields(reply) == (False, errcode, errmsg, 200, None)
    with pytest.raises(DingTalkError) as raised:
        reply.raise_for_errcode()
    error = raised.value
    assert (error.errcode, error.errmsg, error.http_status) == (errcode, errmsg, 200)
    assert str(error) == f"DingTalk answered errcode {errcode}: {errmsg}"
    if hint is None:
        assert error.hint is None and not hasattr(error, "__notes__")
    else:
        assert hint in error.hint and error.__notes__ == [error.hint]  # tracebacks show it
    parts = (str(error), error.errcode, error.errmsg, error.http_status, error.hint, getattr(error, "__notes__", None))
    for again in (pickle.loads(pickle.dumps(error)), copy.copy(error), copy.deepcopy(error)):
        assert type(again) is DingTalkError
        assert (str(again), again.errcode, again.errmsg, again.http_status, again.hint, getattr(again, "__notes__", None)) == parts


def test_the_rate_limit_of_the_real_robot(fresh_standin, robot_env):
    """20 messages in a minute, then 410100 (the stand-in's default, like the service)."""
    fresh_standin.add_robot("busy", SECRET)
    robot = DingTalk("busy", SECRET)
    replies = [robot.send_text(str(i)) for i in range(21)]
    assert [r.ok for r in replies] == [True] * 20 + [False]
    assert replies[-1].errcode == 410100
    with pytest.raises(DingTalkError) as raised:
        replies[-1].raise_for_errcode()
    assert "blocked for 10 minutes" in raised.value.hint


@pytest.mark.parametrize(
    "status, body, errcode, message",
    [
        (500, "Internal error", None, "DingTalk answered HTTP 500 without an errcode"),
        (502, {"errcode": -1, "errmsg": "系统繁忙"}, -1, "DingTalk answered errcode -1: 系统繁忙 (HTTP 502)"),
        # A 2xx whose body is not the service's answer (a captive portal, a proxy) is no success.
        (200, "<html>welcome</html>", None, "DingTalk answered HTTP 200 without an errcode"),
        (200, {"errcode": "0", "errmsg": "ok"}, None, "DingTalk answered HTTP 200 without an errcode"),
    ],
)
def test_http_answers_that_are_not_a_success(fresh_standin, robot, status, body, errcode, message):
    fresh_standin.add_fault("POST", "^/robot/send$", status=status, body=body)
    reply = robot.send_text("x")
    assert reply == (body if isinstance(body, str) else json.dumps(body, ensure_ascii=False)) or reply.startswith("{")
    assert (reply.ok, reply.errcode, reply.http_status, reply.curl_code) == (False, errcode, status, None)
    with pytest.raises(DingTalkError) as raised:
        reply.raise_for_errcode()
    assert str(raised.value) == message and raised.value.http_status == status


def test_transport_failure(fresh_standin, robot, robot_env):
    robot_env.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}")
    reply = robot.send_text("x")
    assert reply == "Couldn't connect to server"
    assert fields(reply) == (False, None, None, None, 7)
    with pytest.raises(DingTalkError) as raised:
        reply.raise_for_errcode()
    error = raised.value
    assert str(error) == "the request to DingTalk failed: Couldn't connect to server (libcurl code 7)"
    assert (error.errcode, error.errmsg, error.http_status, error.hint) == (None, None, None, None)


@pytest.mark.parametrize(
    "args, kwargs, parts",
    [
        (('{"errcode": 0, "errmsg": "ok"}', 200), {}, (True, 0, "ok", 200, None)),
        (('{"errcode": 0}',), {"http_status": 204}, (True, 0, None, 204, None)),
        (('{"errcode": 0, "errmsg": "ok"}',), {}, (False, 0, "ok", None, None)),
        (("Timeout was reached",), {"curl_code": 28}, (False, None, None, None, 28)),
        (('{"errcode": 1.5, "errmsg": 5}', 200), {}, (False, None, None, 200, None)),
        (('[{"errcode": 0}]', 200), {}, (False, None, None, 200, None)),
    ],
)
def test_made_by_hand(args, kwargs, parts):
    """Scripts and their tests can build replies as a send would."""
    assert fields(DingTalkReply(*args, **kwargs)) == parts


def test_error_made_by_hand_and_its_hierarchy():
    error = DingTalkError("boom", errcode=1, hint="h")
    assert isinstance(error, Exception) and error.args == ("boom",) and str(error) == "boom"
    assert (error.errcode, error.errmsg, error.http_status, error.hint) == (1, None, None, "h")
    with pytest.raises(TypeError):
        DingTalkReply("x", http_status="200")


class TestWebhookUrlAsToken:
    @pytest.mark.parametrize(
        "url",
        [
            f"https://oapi.dingtalk.com/robot/send?access_token={TOKEN}",
            f"HTTPS://OAPI.DingTalk.com/robot/send?access_token={TOKEN}#frag",
            # A signed URL copied from a log: its stale timestamp and sign are dropped.
            f"https://oapi.dingtalk.com/robot/send?timestamp=1&access_token={TOKEN}&sign=abc",
            "http://oapi.dingtalk.com/robot/send?access_token=" + TOKEN.replace("-", "%2D"),
        ],
    )
    def test_the_access_token_is_taken_from_it(self, fresh_standin, robot_env, url):
        fresh_standin.add_robot(TOKEN, SECRET)
        assert DingTalk(url, SECRET).send_text("x").ok
        assert fresh_standin.messages(TOKEN)[0]["query"]["access_token"] == [TOKEN]

    @pytest.mark.parametrize(
        "url",
        [
            "https://oapi.dingtalk.com/robot/send",
            "https://oapi.dingtalk.com/robot/send?access_token=",
            "https://oapi.dingtalk.com/robot/send?token=abc",
            "https://example.com/robot/send?access_token=secret-value",
            "https://oapi.dingtalk.com/robot/other?access_token=secret-value",
            "https://oapi.dingtalk.com.evil/robot/send?access_token=secret-value",
            "http://",
        ],
    )
    def test_any_other_url_is_refused_without_showing_it(self, fresh_standin, robot_env, capfd, url):
        with pytest.raises(ValueError, match="not a robot webhook URL") as raised:
            DingTalk(url, SECRET)
        assert "secret-value" not in str(raised.value)
        robot = DingTalk(TOKEN, SECRET)
        robot.token = url  # assigned later: the send refuses it
        with pytest.raises(ValueError, match="not a robot webhook URL"):
            robot.send_text("x")
        assert capfd.readouterr().out == "" and fresh_standin.requests() == []
