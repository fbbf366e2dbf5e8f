"""Eight threads share one Cloudflare and one DingTalk client and call every
method, while another thread keeps reassigning `zone`, `zone_id`,
`api_token` and `token` between two valid values each. Nothing may crash,
no request may carry a value that is neither of the two (a torn or freed
one), every request must be well-formed, and a call that makes several
requests must make them all with the same token and zone id."""

from __future__ import annotations

import json
import os
import threading
import time
from collections import defaultdict

from nuv import Cloudflare, DingTalk

THREADS = 8
ROUNDS = 4  # per thread; each round calls every method once or twice
SECRET = "SEC" + "c0ffee" * 10
ROBOTS = ("robot-one-0123456789abcdef", "robot-two-fedcba9876543210")
SECOND_TOKEN = "second-valid-token-" + "Q" * 21
OK = '{"errcode": 0, "errmsg": "ok"}'


def fresh(text: str) -> str:
    """A new str object each time, so that the value replaced is freed at
    once: a request still reading it would read freed memory (and the
    sanitizer build would say so)."""
    return text.encode().decode()


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_shared_clients_while_fields_are_reassigned(fresh_standin, client_env, tmp_path):
    standin = fresh_standin
    zones = [standin.add_zone("example.com"), standin.add_zone("example.org")]
    zone_ids = {z["id"] for z in zones}
    tokens = (standin.token, SECOND_TOKEN)
    standin.add_token(SECOND_TOKEN)
    for robot_token in ROBOTS:
        standin.add_robot(robot_token, SECRET, rate_limit=None)  # thousands of sends
    client_env.setenv("https_proxy", standin.proxy_url)  # DingTalk reaches its fixed host through it

    cf = Cloudflare(api_token=fresh(tokens[0]), api_url=standin.api_url)
    assert cf.query("example.com")[0] == 200
    robot = DingTalk(fresh(ROBOTS[0]), SECRET)
    standin.clear_requests()
    fds_before = open_fds()

    stop = threading.Event()
    reassigned = [0]

    def reassign() -> None:
        i = 0
        while not stop.is_set():
            i += 1
            # zone and zone_id change out of step, so a zone may be paired
            # with the other zone's id: still two valid values each.
            cf.zone = fresh(zones[i % 2]["name"])
            cf.zone_id = fresh(zones[(i // 2) % 2]["id"])
            cf.api_token = fresh(tokens[(i // 3) % 2])
            robot.token = fresh(ROBOTS[(i // 5) % 2])
            reassigned[0] = i
            time.sleep(0.0002)

    failures: list[str] = []
    calls = [0] * THREADS
    sent_texts: set[str] = set()

    def work(n: int) -> None:
        def check(what: str, result: object, statuses=(200,)) -> object:
            calls[n] += 1
            ok = isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], str)
            if not ok or result[0] not in statuses:
                failures.append(f"{what}: {result!r}")
            return result

        try:
            for r in range(ROUNDS):
                marker = f"t{n}-r{r}"
                domain = ("example.com", "example.org")[(n + r) % 2]
                check("get", cf.get())
                check("query", cf.query(domain))
                check("dns_get_records", cf.dns_get_records())
                check("dns_get_records(domain)", cf.dns_get_records(domain, "TXT", f"{marker}.{domain}"))
                _, body = check("create", cf.dns_create_record("TXT", f"{marker}-w.{domain}", f"v={marker}", False, 1))
                record_id = json.loads(body).get("result", {}).get("id", "missing")
                # zone_id may have moved to the other zone since the create
                check("update", cf.dns_update_record(record_id, "TXT", f"{marker}-w.{domain}", f"v={marker}-2",
                                                     False, 120), (200, 400, 404))  # fmt: skip
                check("delete", cf.dns_delete_record(record_id), (200, 400, 404))
                # zone and zone_id may be out of step when the call starts (then the
                # record lands in the other zone, named under both), so the second
                # call may find, create again or meet its duplicate.
                name, address = f"{marker}-e.{domain}", f"192.0.2.{n + 1}"
                check("ensure", cf.dns_ensured_record(domain, "A", name, address, True, 1), (200, 400))
                check("ensure again", cf.dns_ensured_record(domain, "A", name, address, True, 1), (200, 400))
                check("ensure absent", cf.dns_ensured_record(domain, "A", name, address, True, 1, False), (200, "404"))
                check("always_use_https", cf.change_always_use_https(("on", "off")[r % 2]))
                check("ssl", cf.change_ssl_model("full"))
                check("automatic_https_rewrites", cf.change_automatic_https_rewrites("on"))
                check("purge_cache", cf.purge_cache())
                calls[n] += 2
                if cf.fib(20) != 6765 or cf.fputs(str(tmp_path / f"{marker}.txt"), marker) != 0:
                    failures.append(f"fib or fputs in {marker}")
                text, markdown = f"text {marker}", f"markdown {marker} @1"  # mentions its number already
                answers = ((text, robot.send_text(text)), (markdown, robot.send_markdown(marker, markdown, ["1"])))
                for shown, sent in answers:
                    calls[n] += 1
                    sent_texts.add(shown)
                    if sent != OK:
                        failures.append(f"send {shown}: {sent!r}")
        except BaseException as error:  # a crash of the thread is a failure like any other
            failures.append(f"thread {n}: {error!r}")

    changer = threading.Thread(target=reassign)
    workers = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    changer.start()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(120)
    stop.set()
    changer.join(10)
    assert not any(t.is_alive() for t in (changer, *workers)), "a thread did not finish"

    assert failures == []
    assert sum(calls) == THREADS * ROUNDS * 18 and reassigned[0] > 100

    # Every request as the stand-in received it: one of the two tokens (masked);
    # one of the two zone ids; a JSON body where one is sent.
    requests = standin.requests("cloudflare")
    # Each reconciliation starts with its listing (name filter) and may go on
    # with creates and updates (named in the body); one thread's calls follow
    # one another, so its requests come in call order.
    reconciliations: dict[str, list[set[tuple[str, str | None]]]] = defaultdict(list)
    for request in requests:
        auth = [v for k, v in request["headers"] if k.lower() == "authorization"]
        assert auth in ([f"Bearer ***{tokens[0][-4:]}"], [f"Bearer ***{tokens[1][-4:]}"]), request  # masked
        parts = request["path"].split("/")
        assert parts[:4] == ["", "client", "v4", "zones"], request
        zone_id = parts[4] if len(parts) > 4 else None
        assert zone_id is None or zone_id in zone_ids, request
        body = None
        if request["method"] in ("POST", "PUT", "PATCH"):
            body = json.loads(request["body"])
            assert isinstance(body, dict), request
        else:
            assert request["method"] in ("GET", "DELETE") and request["body"] == "", request
        listed_name = (request["query"].get("name") or [None])[0]
        if zone_id is None:
            assert listed_name in (None, "example.com", "example.org"), request
        elif request["method"] == "GET" and listed_name and "-e." in listed_name:
            reconciliations[listed_name.split("-e.")[0]].append({(auth[0], zone_id)})
        elif body is not None and "-e." in body.get("name", ""):
            reconciliations[body["name"].split("-e.")[0]][-1].add((auth[0], zone_id))
    # Three reconciliations per marker; each with one token and one zone id.
    assert len(reconciliations) == THREADS * ROUNDS
    assert all(len(calls_of_marker) == 3 for calls_of_marker in reconciliations.values())
    mixed = [seen for calls_of_marker in reconciliations.values() for seen in calls_of_marker if len(seen) > 1]
    assert mixed == []
    assert len(requests) >= THREADS * ROUNDS * 15

    messages = [m for robot_token in ROBOTS for m in standin.messages(robot_token)]
    received = [m["body"]["text"]["content"] if m["msgtype"] == "text" else m["body"]["markdown"]["text"]
                for m in messages]  # fmt: skip
    assert sorted(received) == sorted(sent_texts) and len(received) == THREADS * ROUNDS * 2

    # The workers' connections went with their threads.
    assert open_fds() <= fds_before
