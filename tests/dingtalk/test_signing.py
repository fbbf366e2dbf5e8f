"""Signed webhook URLs: the signature checked against Python's own HMAC,
Base64 and URL quoting, the URL's shape and the signing trace."""

from __future__ import annotations

import base64
import hashlib
import hmac
import random
import re
import urllib.parse

import pytest
from nuv import DingTalk
from robot_credentials import SECRET, TOKEN

BASE = "https://oapi.dingtalk.com/robot/send?access_token="
URL_SHAPE = re.compile(r"/robot/send\?access_token=(?P<token>[^&]*)&timestamp=(?P<ts>\d+)&sign=(?P<sign>[^&]*)")


def expected_signature(secret: str, timestamp: str) -> str:
    digest = hmac.new(secret.encode(), f"{timestamp}\n{secret}".encode(), hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


def posted_target(standin, token=TOKEN) -> re.Match[str]:
    (message,) = standin.messages(token)
    match = URL_SHAPE.fullmatch(message["target"])
    assert match, message["target"]
    return match


class TestSignedUrl:
    def test_signature_timestamp_and_trace_agree_with_an_independent_computation(self, fresh_standin, robot, capfd):
        assert robot.send_text("hi") == '{"errcode": 0, "errmsg": "ok"}'
        target = posted_target(fresh_standin)
        timestamp, sign = target["ts"], target["sign"]
        signature = expected_signature(SECRET, timestamp)
        assert sign == urllib.parse.quote(signature, safe="") == urllib.parse.quote_plus(signature)
        assert int(timestamp) % 1000 == 0
        # The signature is a credential for an hour: masked like the token.
        out = capfd.readouterr().out
        lines = out.splitlines()
        assert lines[:3] == [f"Timestamp: {timestamp}", f"Output (base64): ***{signature[-4:]}", f"Encoded: ***{sign[-4:]}"]
        assert signature[:-4] not in out and sign[:-4] not in out
        assert len(sign) == 44 + 2 * signature.count("+") + 2 * signature.count("/") + 2 and sign.endswith("%3D")

    def test_the_post_goes_to_the_fixed_host_through_the_proxy(self, fresh_standin, robot):
        robot.send_text("hi")
        (request,) = fresh_standin.requests("dingtalk")
        assert (request["method"], request["host"], request["path"]) == ("POST", "oapi.dingtalk.com", "/robot/send")
        assert request["via_proxy"] and request["connect"]["port"] == 443

    @pytest.mark.parametrize("token", ["a&sign=forged b", "tok+en/=?#%~._-", "令牌"])
    def test_the_token_is_percent_encoded_and_arrives_whole(self, fresh_standin, robot_env, token):
        fresh_standin.add_robot(token, SECRET)
        assert '"errcode": 0' in DingTalk(token, SECRET).send_text("hi")
        target = posted_target(fresh_standin, token)
        assert target["token"] == urllib.parse.quote(token, safe="-._~")
        assert fresh_standin.messages(token)[0]["query"]["access_token"] == [token]

    def test_empty_token_and_secret_still_make_a_signed_url(self, fresh_standin, robot_env, capfd):
        DingTalk().send_text("hi")
        (request,) = fresh_standin.requests("dingtalk")
        target = URL_SHAPE.fullmatch(request["target"])
        assert target["token"] == ""
        assert target["sign"] == urllib.parse.quote(expected_signature("", target["ts"]), safe="")

    @pytest.mark.parametrize(
        "token, shown", [("short-token", "***"), (TOKEN, "***" + TOKEN[-4:]), ("0123456789abc&ef", "***26ef")]
    )
    def test_the_traced_url_masks_the_encoded_token(self, fresh_standin, robot_env, capfd, token, shown):
        DingTalk(token, SECRET).send_text("hi")
        (request,) = fresh_standin.requests("dingtalk")
        (method_line,) = [line for line in capfd.readouterr().out.splitlines() if line.startswith("http_method:")]
        target = URL_SHAPE.fullmatch(request["target"])
        masked = f"/robot/send?access_token={shown}&timestamp={target['ts']}&sign=***{target['sign'][-4:]}"
        assert method_line == f"http_method: post url: https://oapi.dingtalk.com{masked}"
        assert token not in method_line


class TestNativeSigning:
    """base64_encode, the signature and the URL builder, called without Python."""

    RFC_4648 = [("", ""), ("f", "Zg=="), ("fo", "Zm8="), ("foo", "Zm9v"), ("foob", "Zm9vYg=="),
                ("fooba", "Zm9vYmE="), ("foobar", "Zm9vYmFy")]  # fmt: skip

    def test_base64_rfc_4648_vectors(self, sign_tool):
        assert sign_tool([("base64", text) for text, _ in self.RFC_4648]) == [b64 for _, b64 in self.RFC_4648]

    def test_base64_of_random_bytes_has_no_line_breaks(self, sign_tool):
        rng = random.Random(4)
        blocks = [bytes(rng.randrange(256) for _ in range(n)) for n in [*range(0, 70), 200, 1000, 4099]]
        # sign_tool takes text arguments; latin-1 keeps every byte value.
        answers = sign_tool([("base64", block.decode("latin-1")) for block in blocks])
        expected = [base64.b64encode(block.decode("latin-1").encode()).decode() for block in blocks]
        assert answers == expected

    def test_signature_vectors(self, sign_tool):
        assert sign_tool([("signature", "this is secret", "1577836800000"),
                          ("signature", "SEC" + "0" * 63, "1700000000000")]) == [
            "fFV9t5lBS7KH4+5B0JjR99ab+AJkXFauQXycgTkS/tc=",
            urllib.parse.unquote("mphPIqgjGbRzHPELpWQPiram3BEkrp9g5J866J8sMcg%3D"),
        ]  # fmt: skip

    def test_signatures_of_random_secrets(self, sign_tool):
        rng = random.Random(2)
        cases = [("".join(chr(rng.randrange(1, 0x800)) for _ in range(n)), str(rng.randrange(10**13)))
                 for n in [0, 1, 3, 63, 64, 65, 200]]  # fmt: skip
        answers = sign_tool([("signature", secret, ts) for secret, ts in cases])
        assert answers == [expected_signature(secret, ts) for secret, ts in cases]

    def test_url_builder(self, sign_tool):
        assert sign_tool([("url", "a&b c", "1700000000000", "ab+/cd=="), ("url", "", "0", "")]) == [
            BASE + "a%26b%20c&timestamp=1700000000000&sign=ab%2B%2Fcd%3D%3D",
            BASE + "&timestamp=0&sign=",
        ]
