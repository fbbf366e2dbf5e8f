"""send_text and send_markdown end to end against the robot stand-in: the
bodies as received, the mention fix, the trace, argument failures, the
service's refusals and a send without network."""

from __future__ import annotations

import json
import time

import pytest
from nuv import DingTalk, DingTalkError
from robot_credentials import SECRET, TOKEN
from support import closed_port, ticking_thread

OK = '{"errcode": 0, "errmsg": "ok"}'
MORE = "more: [https://ding-doc.dingtalk.com/doc#/serverapi2/qf2nxq]"



def only_message(standin, token=TOKEN):
    (message,) = standin.messages(token)
    return message


def answer(text: str) -> tuple[int, str]:
    body = json.loads(text)
    return body["errcode"], body["errmsg"]


class TestBodies:
    def test_text_body_byte_for_byte_and_trace_order(self, fresh_standin, robot, capfd):
        content = 'deploy "done" / 完成\n\tback\\slash'
        assert robot.send_text(content) == OK
        message = only_message(fresh_standin)
        body = '{ "msgtype": "text", "text": { "content": "deploy \\"done\\" \\/ 完成\\n\\tback\\\\slash" } }'
        assert message["raw_body"] == body
        assert message["body"]["text"]["content"] == content
        assert ["Content-Type", "application/json;charset=utf-8"] in message["headers"]
        lines = capfd.readouterr().out.splitlines()
        prefixes = ["Timestamp: ", "Output (base64): ", "Encoded: ", "Data: ", "Content-Type: ", "proxy: ",
                    "http_method: post url: https://oapi.dingtalk.com/robot/send?access_token=***", "Result: "]  # fmt: skip
        assert len(lines) == len(prefixes) and all(map(str.startswith, lines, prefixes)), lines
        assert lines[3] == f"Data: {body}" and lines[4] == "Content-Type: application/json;charset=utf-8"
        assert lines[5] == f"proxy: {fresh_standin.proxy_url} (https_proxy)" and lines[-1] == f"Result: {OK}"

    def test_markdown_body_byte_for_byte_and_trace_order(self, fresh_standin, robot, capfd):
        assert robot.send_markdown("Build #7", "## ok @13800000000", ["13800000000", "13900000000"]) == OK
        body = (
            '{ "msgtype": "markdown", "markdown": { "title": "Build #7", '
            '"text": "## ok @13800000000\\n\\n@13900000000" }, '
            '"at": { "isAtAll": false, "atMobiles": [ "13800000000", "13900000000" ] } }'
        )
        assert only_message(fresh_standin)["raw_body"] == body
        lines = capfd.readouterr().out.splitlines()
        assert lines[0] == "At: @13800000000 @13900000000 "
        assert [line.split(":")[0] for line in lines[1:4]] == ["Timestamp", "Output (base64)", "Encoded"]
        # The message once: the body as sent.
        assert lines[4] == f"Data: {body}"
        assert lines[5].startswith("Content-Type") and lines[7].startswith("http_method: post")
        assert lines[8:] == [f"Result: {OK}"]

    def test_markdown_without_mobiles_has_an_empty_at_and_no_at_line(self, fresh_standin, robot, capfd):
        robot.send_markdown("t", "")
        assert only_message(fresh_standin)["raw_body"] == (
            '{ "msgtype": "markdown", "markdown": { "title": "t", "text": "" }, '
            '"at": { "isAtAll": false, "atMobiles": [ ] } }'
        )
        assert not any(line.startswith("At:") for line in capfd.readouterr().out.splitlines())

    def test_empty_list_traces_an_empty_at_line(self, fresh_standin, robot, capfd):
        robot.send_markdown("t", "x", [])
        assert capfd.readouterr().out.splitlines()[0] == "At: "
        assert only_message(fresh_standin)["body"]["at"] == {"isAtAll": False, "atMobiles": []}

    def test_empty_content_is_sent_as_is(self, fresh_standin, robot):
        robot.send_text("")
        assert only_message(fresh_standin)["raw_body"] == '{ "msgtype": "text", "text": { "content": "" } }'

    def test_arguments_by_keyword(self, fresh_standin, robot):
        assert robot.send_text(content="a") == OK
        assert robot.send_markdown(mobiles=("1",), text="@1 b", title="c") == OK
        bodies = [m["body"] for m in fresh_standin.messages(TOKEN)]
        assert bodies[0]["text"] == {"content": "a"}
        assert bodies[1]["markdown"] == {"title": "c", "text": "@1 b"} and bodies[1]["at"]["atMobiles"] == ["1"]


class TestMentions:
    @pytest.mark.parametrize(
        "text, mobiles, sent",
        [
            ("deploy", ["1550", "1660"], "deploy\n\n@1550 @1660"),
            ("hi @1660", ["1550", "1660", "1770"], "hi @1660\n\n@1550 @1770"),
            ("@1660 and @1550", ["1550", "1660"], "@1660 and @1550"),
            ("x", ("1550", "1550"), "x\n\n@1550"),  # each number once; a tuple works too
            ("call 1550", ["1550"], "call 1550\n\n@1550"),  # a bare number is no mention
            ("ping @15501", ["1550"], "ping @15501\n\n@1550"),  # another digit follows: someone else
            ("ping @1550, @15501", ["1550", "15501"], "ping @1550, @15501"),
            ("ping @15501 @1550", ["1550"], "ping @15501 @1550"),  # a later exact mention counts
            ("", ["1550"], "\n\n@1550"),
        ],
    )
    def test_missing_mentions_are_appended(self, fresh_standin, robot, text, mobiles, sent):
        robot.send_markdown("title", text, mobiles)
        body = only_message(fresh_standin)["body"]
        assert body["markdown"]["text"] == sent
        assert body["at"]["atMobiles"] == list(mobiles)


    @pytest.mark.parametrize(
        "kwargs, text, sent, at",
        [
            ({"at_user_ids": ["manager01"]}, "hi", "hi\n\n@manager01", {"atUserIds": ["manager01"]}),
            ({"at_user_ids": ["ops"]}, "hi @ops_lead", "hi @ops_lead\n\n@ops", {"atUserIds": ["ops"]}),
            ({"at_user_ids": ["ops"]}, "hi @ops.", "hi @ops.", {"atUserIds": ["ops"]}),
            ({"at_all": True}, "all hands", "all hands\n\n@all", {"isAtAll": True}),
            ({"at_all": True}, "@all: hands", "@all: hands", {"isAtAll": True}),
            ({"at_all": True}, "@allen", "@allen\n\n@all", {"isAtAll": True}),
            ({"at_mobiles": ["1550"], "at_user_ids": ["u1", "u1"], "at_all": True}, "x @u1", "x @u1\n\n@1550 @all",
             {"atMobiles": ["1550"], "atUserIds": ["u1", "u1"], "isAtAll": True}),
            ({"mobiles": ("1550",)}, "x", "x\n\n@1550", {"atMobiles": ["1550"]}),  # the keyword's old name
        ],
    )  # fmt: skip
    def test_user_ids_and_everyone_in_markdown(self, fresh_standin, robot, capfd, kwargs, text, sent, at):
        assert robot.send_markdown("t", text, **kwargs).ok
        body = only_message(fresh_standin)["body"]
        assert body["markdown"]["text"] == sent
        assert body["at"] == {"isAtAll": False, "atMobiles": [], **at}
        assert capfd.readouterr().out.startswith("At: @")

    @pytest.mark.parametrize(
        "args, kwargs, at",
        [
            ((), {}, None),
            ((["1550"],), {}, {"isAtAll": False, "atMobiles": ["1550"]}),
            ((), {"at_user_ids": ("u1",), "at_all": True}, {"isAtAll": True, "atMobiles": [], "atUserIds": ["u1"]}),
        ],
    )
    def test_text_mentions_go_in_at_and_leave_the_content_alone(self, fresh_standin, robot, args, kwargs, at):
        assert robot.send_text("deploy", *args, **kwargs).ok
        body = only_message(fresh_standin)["body"]
        assert body["text"] == {"content": "deploy"} and body.get("at") == at


class TestKeyword:
    """A robot whose security setting wants "deploy" in every message."""

    @pytest.fixture
    def keyword_robot(self, fresh_standin, robot_env):
        fresh_standin.add_robot("keyword-robot", SECRET, keywords=["deploy"])
        return DingTalk("keyword-robot", SECRET, keyword="deploy")

    @pytest.mark.parametrize(
        "send, shown",
        [
            (lambda d: d.send_text("build ok"), lambda b: b["text"]["content"] == "build ok deploy"),
            (lambda d: d.send_text(""), lambda b: b["text"]["content"] == "deploy"),
            (lambda d: d.send_markdown("Build", "ok", ["1550"]), lambda b: b["markdown"]["text"] == "ok\n\n@1550\n\ndeploy"),
            (lambda d: d.send_link("Build", "ok", "https://ci.example/1"), lambda b: b["link"]["text"] == "ok deploy"),
            (lambda d: d.send_action_card("Build", "ok", single_title="Open", single_url="https://ci.example/1"),
             lambda b: b["actionCard"]["text"] == "ok\n\ndeploy"),
            (lambda d: d.send_feed_card([("a", "https://e/1", ""), ("b", "https://e/2", "")]),
             lambda b: [x["title"] for x in b["feedCard"]["links"]] == ["a deploy", "b"]),
        ],
    )  # fmt: skip
    def test_appended_when_the_visible_text_lacks_it(self, fresh_standin, keyword_robot, capfd, send, shown):
        assert send(keyword_robot).ok
        assert shown(only_message(fresh_standin, "keyword-robot")["body"])
        assert "Keyword: appended deploy" in capfd.readouterr().out.splitlines()

    @pytest.mark.parametrize(
        "send",
        [
            lambda d: d.send_text("deploy done"),
            lambda d: d.send_markdown("deploy", "ok"),  # the title is visible too
            lambda d: d.send_link("ok", "deploying", "https://ci.example/1"),
            lambda d: d.send_feed_card([("a", "https://e/1", ""), ("deploy b", "https://e/2", "")]),
        ],
    )
    def test_left_alone_when_present(self, fresh_standin, keyword_robot, capfd, send):
        assert send(keyword_robot).ok
        assert "Keyword" not in capfd.readouterr().out
        assert "deploy deploy" not in only_message(fresh_standin, "keyword-robot")["raw_body"]

    def test_without_it_the_robot_refuses_with_a_hint(self, fresh_standin, keyword_robot):
        keyword_robot.keyword = None
        reply = keyword_robot.send_text("build ok")
        assert (reply.ok, reply.errcode) == (False, 310000)
        with pytest.raises(DingTalkError) as raised:
            reply.raise_for_errcode()
        assert "keyword=" in raised.value.hint


class TestFailures:
    """Each refusal comes before anything is signed, traced or posted."""

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda d: d.send_text(), TypeError, "required argument 'content'"),
            (lambda d: d.send_text(1), TypeError, "must be str, not int"),
            (lambda d: d.send_text("a\0b"), ValueError, "embedded null character"),
            # The parser counts arguments before it names the unknown one.
            # (Python 3.12's parser words it "'colour' is an invalid keyword argument".)
            (lambda d: d.send_text(content="x", colour="red"), TypeError, "'colour'.*keyword argument|keyword argument 'colour'"),
            (lambda d: d.send_text(text="x"), TypeError, "missing required argument 'content'"),
            (lambda d: d.send_markdown("t"), TypeError, "required argument 'text'"),
            (lambda d: d.send_markdown("t", "x", ["1", 2]), TypeError, "^list items must be strings.$"),
            (lambda d: d.send_markdown("t", "x", (b"1",)), TypeError, "^list items must be strings.$"),
            (lambda d: d.send_markdown("t", "x", None), TypeError, "list or tuple of str, not NoneType"),
            (lambda d: d.send_markdown("t", "x", "1550"), TypeError, "list or tuple of str, not str"),
            (lambda d: d.send_markdown("t", "x", {"1550"}), TypeError, "list or tuple of str, not set"),
            (lambda d: d.send_markdown("t", "x", ["\ud800"]), UnicodeEncodeError, "surrogates not allowed"),
            (lambda d: d.send_markdown("t", "x", ["1\x00"]), ValueError, "embedded null character"),
            (lambda d: d.send_markdown("t", "x", [], "more"), TypeError, "at most 3 positional arguments"),
            (lambda d: d.send_markdown("t", "x", mobile=["1"]), TypeError, "'mobile'.*keyword argument|keyword argument 'mobile'"),
        ],
    )
    def test_bad_arguments(self, fresh_standin, robot, capfd, call, error, message):
        with pytest.raises(error, match=message):
            call(robot)
        assert capfd.readouterr().out == ""
        assert fresh_standin.requests() == []

    @pytest.mark.parametrize(
        "spoil, error, message",
        [
            (lambda d: delattr(d, "token"), AttributeError, "'nuv.DingTalk' object has no attribute 'token'"),
            (lambda d: delattr(d, "secret"), AttributeError, "'nuv.DingTalk' object has no attribute 'secret'"),
            (lambda d: setattr(d, "token", 5), TypeError, "^token must be str, not int$"),
            (lambda d: setattr(d, "secret", b"SEC"), TypeError, "^secret must be str, not bytes$"),
            (lambda d: setattr(d, "secret", "\udc80"), UnicodeEncodeError, "surrogates not allowed"),
        ],
    )
    @pytest.mark.parametrize(
        "send", [lambda d: d.send_text("x"), lambda d: d.send_markdown("t", "x", ["1"])], ids=["text", "markdown"]
    )
    def test_unusable_credentials(self, fresh_standin, robot, capfd, spoil, error, message, send):
        spoil(robot)
        with pytest.raises(error, match=message):
            send(robot)
        assert capfd.readouterr().out == ""
        assert fresh_standin.requests() == []

    def test_a_reassigned_token_is_used_by_the_next_send(self, fresh_standin, robot):
        fresh_standin.add_robot("other-robot", SECRET)
        robot.token = "other-robot"
        assert robot.send_text("x") == OK
        assert fresh_standin.messages(TOKEN) == [] and len(fresh_standin.messages("other-robot")) == 1


class TestServiceAnswers:
    def test_wrong_secret_is_a_sign_mismatch(self, fresh_standin, robot):
        robot.secret = SECRET + "x"
        assert answer(robot.send_text("x")) == (310000, f"sign not match, {MORE}")
        assert fresh_standin.messages(TOKEN) == []

    def test_unknown_token(self, fresh_standin, robot_env):
        assert answer(DingTalk("nobody", SECRET).send_markdown("t", "x")) == (300001, "token is not exist")

    def test_rate_limit_comes_back_as_the_result(self, fresh_standin, robot_env):
        fresh_standin.add_robot("limited", SECRET, rate_limit=2)
        robot = DingTalk("limited", SECRET)
        assert [robot.send_text("a"), robot.send_text("b")] == [OK, OK]
        refused = robot.send_markdown("t", "c")
        assert answer(refused) == (410100, "发送速度太快而限流，请降低发送速度")
        assert len(fresh_standin.messages("limited")) == 2

    @pytest.mark.parametrize("shift, accepted", [("-7200", False), ("5400", False), ("-3000", True)])
    def test_clock_off_by_more_than_an_hour_is_an_invalid_timestamp(self, fresh_standin, robot, preloaded, shift,
                                                                    accepted):  # fmt: skip
        result, trace = preloaded('send_text("x")', NUV_CLOCK_SHIFT=shift)
        assert answer(result) == ((0, "ok") if accepted else (310000, f"invalid timestamp, {MORE}"))
        assert trace[-1] == f"Result: {result}"

    @pytest.mark.parametrize("bio", ["base64", "mem"])
    def test_no_bio_means_no_url_and_none(self, fresh_standin, robot, preloaded, bio):
        result, trace = preloaded('send_markdown("t", "x", ["1"])', NUV_FAIL_BIO=bio)
        assert result is None
        assert [line.split(":")[0] for line in trace] == ["At", "Timestamp"]
        assert fresh_standin.requests() == []


def test_any_answer_comes_back_and_other_threads_run_while_waiting(fresh_standin, robot):
    fresh_standin.add_fault("POST", "^/robot/send$", status=502, body="upstream down", delay=0.6)
    with ticking_thread() as ticks:
        started = time.monotonic()
        assert robot.send_text("x") == "upstream down"
        finished = time.monotonic()
    assert finished - started >= 0.5
    assert sum(started + 0.1 < t < finished - 0.1 for t in ticks) >= 10


def test_no_network_returns_the_transport_error(fresh_standin, robot, robot_env, capfd):
    robot_env.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}")
    assert robot.send_text("x") == "Couldn't connect to server"
    lines = capfd.readouterr().out.splitlines()
    assert lines[3] == 'Data: { "msgtype": "text", "text": { "content": "x" } }'
    assert lines[-1] == "Result: Couldn't connect to server"
    assert fresh_standin.requests() == []
