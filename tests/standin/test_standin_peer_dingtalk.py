"""The robot stand-in driven by an independent client, the popular DingtalkChatbot
wrapper (requests underneath), through the stand-in's proxy under the real
host name: every message type it sends is accepted and recorded as sent, and
its failures come back as the service's answers."""

from __future__ import annotations

import pytest

chatbot = pytest.importorskip("dingtalkchatbot.chatbot")

TOKEN = "peer-robot-token"
SECRET = "SEC" + "7e" * 32
WEBHOOK = f"https://oapi.dingtalk.com/robot/send?access_token={TOKEN}"
URL = "https://ci.example/build/7"


@pytest.fixture
def peer(fresh_standin, client_env):
    client_env.setenv("https_proxy", fresh_standin.proxy_url)
    client_env.setenv("REQUESTS_CA_BUNDLE", fresh_standin.ca_file)
    fresh_standin.add_robot(TOKEN, SECRET)
    return chatbot.DingtalkChatbot(WEBHOOK, secret=SECRET)


def test_every_message_type_it_sends_is_accepted(fresh_standin, peer):
    card = chatbot.ActionCard("Deploy?", "#### staging green", [chatbot.CardItem("Go", URL)], btn_orientation=1)
    buttons = chatbot.ActionCard("Deploy?", "x", [chatbot.CardItem("Go", URL), chatbot.CardItem("Hold", URL)])
    answers = [
        peer.send_text("build passed", at_mobiles=["13800000000"], at_dingtalk_ids=["ops"]),
        peer.send_markdown("Build", "#### passed", is_at_all=True),
        peer.send_link("Build", "passed", URL, URL + ".png"),
        peer.send_action_card(card),
        peer.send_action_card(buttons),
        peer.send_feed_card([chatbot.CardItem("Build 7", URL, URL + ".png"), chatbot.CardItem("Build 8", URL, URL)]),
    ]
    assert answers == [{"errcode": 0, "errmsg": "ok"}] * 6
    messages = fresh_standin.messages(TOKEN)
    assert [m["msgtype"] for m in messages] == ["text", "markdown", "link", "actionCard", "actionCard", "feedCard"]
    text, markdown = messages[0]["body"], messages[1]["body"]
    assert text["text"]["content"] == "build passed\n@13800000000"
    assert text["at"] == {"atMobiles": ["13800000000"], "atUserIds": ["ops"]}
    assert markdown["at"]["isAtAll"] is True
    assert messages[3]["body"]["actionCard"]["btnOrientation"] == 1  # a number, not the documented "1"
    assert all(m["host"] == "oapi.dingtalk.com" for m in fresh_standin.requests("dingtalk"))


@pytest.mark.parametrize(
    "arrange, errcode",
    [
        (lambda s: s.add_robot(TOKEN, SECRET + "x"), 310000),  # sign not match
        (lambda s: s.add_robot(TOKEN, SECRET, keywords=["release"]), 310000),  # keywords not in content
        (lambda s: s.add_robot(TOKEN, SECRET, rate_limit=1), 410100),  # the second send
        (lambda s: s.reset(), 300001),  # no such robot
    ],
)
def test_its_failures_are_the_service_answers(fresh_standin, peer, arrange, errcode):
    arrange(fresh_standin)
    answers = [peer.send_text("build passed") for _ in range(2)]
    assert answers[-1]["errcode"] == errcode
