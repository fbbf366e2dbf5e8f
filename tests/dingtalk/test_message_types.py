"""send_link, send_action_card and send_feed_card against the robot stand-in,
which checks each type's shape and field casing: the bodies as received, and
what is refused before any request."""

from __future__ import annotations

import pytest
from robot_credentials import TOKEN

URL = "https://ci.example/build/7"
PIC = "https://ci.example/7.png"


@pytest.mark.parametrize(
    "send, raw_body",
    [
        (lambda d: d.send_link("Build 7", "passed", URL),
         '{ "msgtype": "link", "link": { "title": "Build 7", "text": "passed", '
         '"messageUrl": "https:\\/\\/ci.example\\/build\\/7", "picUrl": "" } }'),
        (lambda d: d.send_link(title="T", text="x", message_url=URL, pic_url=PIC),
         '{ "msgtype": "link", "link": { "title": "T", "text": "x", '
         '"messageUrl": "https:\\/\\/ci.example\\/build\\/7", "picUrl": "https:\\/\\/ci.example\\/7.png" } }'),
        (lambda d: d.send_action_card("T", "## x", single_title="Open", single_url=URL),
         '{ "msgtype": "actionCard", "actionCard": { "title": "T", "text": "## x", "btnOrientation": "0", '
         '"singleTitle": "Open", "singleURL": "https:\\/\\/ci.example\\/build\\/7" } }'),
        (lambda d: d.send_action_card("T", "x", buttons=[("Yes", URL), ["No", "http://n/"]],
                                      button_orientation="horizontal"),
         '{ "msgtype": "actionCard", "actionCard": { "title": "T", "text": "x", "btnOrientation": "1", "btns": [ '
         '{ "title": "Yes", "actionURL": "https:\\/\\/ci.example\\/build\\/7" }, '
         '{ "title": "No", "actionURL": "http:\\/\\/n\\/" } ] } }'),
        (lambda d: d.send_feed_card([("A", URL, PIC), {"title": "B", "message_url": "HTTPS://e/"}]),
         '{ "msgtype": "feedCard", "feedCard": { "links": [ '
         '{ "title": "A", "messageURL": "https:\\/\\/ci.example\\/build\\/7", "picURL": "https:\\/\\/ci.example\\/7.png" }, '
         '{ "title": "B", "messageURL": "HTTPS:\\/\\/e\\/", "picURL": "" } ] } }'),
    ],
    ids=["link", "link-keywords", "card-single", "card-buttons", "feed"],
)  # fmt: skip
def test_bodies_as_received(fresh_standin, robot, capfd, send, raw_body):
    assert send(robot) == '{"errcode": 0, "errmsg": "ok"}'
    (message,) = fresh_standin.messages(TOKEN)
    assert message["raw_body"] == raw_body
    assert f"Data: {raw_body}" in capfd.readouterr().out.splitlines()


@pytest.mark.parametrize(
    "send, error, message",
    [
        (lambda d: d.send_link("", "x", URL), ValueError, "^title must not be empty$"),
        (lambda d: d.send_link("t", "", URL), ValueError, "^text must not be empty$"),
        (lambda d: d.send_link("t", "x", "ci.example/7"), ValueError, "^message_url must be an http or https URL$"),
        (lambda d: d.send_link("t", "x", "https://"), ValueError, "message_url must be"),
        (lambda d: d.send_link("t", "x", URL, "ftp://p"), ValueError, "^pic_url must be an http or https URL or empty$"),
        (lambda d: d.send_link("t", "x"), TypeError, "'message_url'"),
        (lambda d: d.send_action_card("t", "x"), ValueError, "single_title and single_url or buttons"),
        (lambda d: d.send_action_card("t", "x", single_title="a", single_url=URL, buttons=[("b", URL)]),
         ValueError, "not both"),
        (lambda d: d.send_action_card("t", "x", single_title="a"), ValueError, "go together"),
        (lambda d: d.send_action_card("t", "x", single_title="", single_url=URL), ValueError, "single_title must not"),
        (lambda d: d.send_action_card("t", "x", single_title="a", single_url="javascript:x"), ValueError, "single_url"),
        (lambda d: d.send_action_card("", "x", buttons=[("b", URL)]), ValueError, "title must not be empty"),
        (lambda d: d.send_action_card("t", "x", buttons=[("b", URL)], button_orientation="0"), ValueError,
         "\"vertical\" or \"horizontal\""),
        (lambda d: d.send_action_card("t", "x", buttons=[("b", URL, "c")]), TypeError, r"buttons\[0\] must be a \(title, url\) pair"),
        (lambda d: d.send_action_card("t", "x", buttons=[("b", URL), ("", URL)]), ValueError, r"buttons\[1\]: title"),
        (lambda d: d.send_action_card("t", "x", buttons=[("b", "/relative")]), ValueError, r"buttons\[0\]: url"),
        (lambda d: d.send_action_card("t", "x", buttons="ab"), TypeError, "buttons must be a sequence"),
        (lambda d: d.send_action_card("t", "x", buttons=[(1, URL)]), TypeError, r"buttons\[0\]: title must be str"),
        (lambda d: d.send_feed_card([]), ValueError, "^links must not be empty$"),
        (lambda d: d.send_feed_card(iter([])), ValueError, "^links must not be empty$"),
        (lambda d: d.send_feed_card([("a", URL)]), TypeError, r"links\[0\] must be a \(title, message_url, pic_url\)"),
        (lambda d: d.send_feed_card([("a", URL, "")] * 2 + [("", URL, "")]), ValueError, r"links\[2\]: title"),
        (lambda d: d.send_feed_card([("a", "mailto:x", "")]), ValueError, r"links\[0\]: message_url"),
        (lambda d: d.send_feed_card([("a", URL, "p.png")]), ValueError, r"links\[0\]: pic_url"),
        (lambda d: d.send_feed_card([{"title": "a"}]), ValueError, r"links\[0\] has no \"message_url\""),
        (lambda d: d.send_feed_card([{"title": "a", "messageURL": URL}]), ValueError, r"has no \"message_url\""),
        (lambda d: d.send_feed_card([{"title": "a", "message_url": URL, "extra": 1}]), ValueError, "may hold only"),
        (lambda d: d.send_feed_card([("a\0", URL, "")]), ValueError, "embedded null character"),
    ],
)  # fmt: skip
def test_refused_before_any_request(fresh_standin, robot, capfd, send, error, message):
    with pytest.raises(error, match=message):
        send(robot)
    assert capfd.readouterr().out == ""
    assert fresh_standin.requests() == []
