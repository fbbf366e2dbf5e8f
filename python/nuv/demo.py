"""The main job, run as a user would: ``nuv ddns`` keeps a host's A and AAAA
records at this machine's addresses and tells the team on DingTalk.

    python -m nuv.demo                      # against the local stand-ins
    CLOUDFLARE_API_TOKEN=... python -m nuv.demo --live example.com

Locally it starts the stand-ins of ``nuv.testing`` (Cloudflare and a DingTalk
robot, reached through their proxy exactly as the real hosts would be, with
the variables ``nuv standin`` prints) and runs the ``nuv`` command on
``home.example.com``. With ``--live`` it runs the same commands against the
real Cloudflare API on a host name of its own under the given domain and
removes its records at the end; it notifies only when ``DINGTALK_TOKEN`` and
``DINGTALK_SECRET`` are set.

Lines starting with ">>" are the demo's own; "$ nuv ..." lines are the
commands, followed by what they print.
"""

from __future__ import annotations

import argparse
import os
import secrets
import shlex
import subprocess
import sys
import tempfile
from collections.abc import Callable

# Global unicast addresses (example.com's own, for years): nuv ddns refuses
# to publish private, loopback or documentation addresses as a host's.
OLD_V4, NEW_V4, V6 = "93.184.216.10", "93.184.216.20", "2606:2800:220:1::10"
PRIVATE_V4 = "10.0.0.5"


def say(text: str) -> None:
    print(f">> {text}", flush=True)


def command_runner(environment: dict[str, str]) -> Callable[..., subprocess.CompletedProcess[str]]:
    def nuv(*arguments: str, expect: int = 0) -> subprocess.CompletedProcess[str]:
        print("$ nuv " + shlex.join(arguments), flush=True)
        done = subprocess.run(
            [sys.executable, "-m", "nuv", *arguments],
            env=environment,
            text=True,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            check=False,
        )
        for line in done.stdout.splitlines():
            print(f"  {line}", flush=True)
        if done.returncode != expect:
            raise SystemExit(f"nuv {' '.join(arguments)} exited with {done.returncode}, expected {expect}")
        return done

    return nuv


def main_job(
    nuv: Callable[..., object], domain: str, host: str, notify: bool, show_message: Callable[[], None] | None
) -> None:
    def ddns(v4: str, expect: int = 0) -> None:
        nuv(
            "ddns",
            domain,
            host,
            "--ipv4",
            f"static:{v4}",
            "--ipv6",
            f"static:{V6}",
            *(["--notify"] if notify else []),
            expect=expect,
        )

    say("first run: the host gets its A and AAAA records")
    ddns(OLD_V4)
    if show_message:
        show_message()

    say("second run, same addresses (what cron does every few minutes): nothing to change")
    ddns(OLD_V4)

    say("the public IPv4 address moved: the record follows, the team is told")
    ddns(NEW_V4)
    if show_message:
        show_message()

    say("a source answers a private address (a router's page, a wrong interface): refused, the record stays")
    ddns(PRIVATE_V4, expect=1)
    if show_message:
        show_message()

    say("the next good round says it is over")
    ddns(NEW_V4)
    if show_message:
        show_message()

    if show_message:
        check = "https://hc-ping.com/0b1c2d3e-4f5a-6b7c-8d9e-0f1a2b3c4d5e"
        say("several names in one run (one listing and one batch for the zone), one message, a heartbeat:")
        nuv("ddns", f"vpn.{domain}", f"nas.{domain}", "--ipv4", f"static:{NEW_V4}", "--ipv6", f"static:{V6}",
            "--notify", "--ping", check)  # fmt: skip
        show_message()

    alias = ("dns", "ensure", domain, "CNAME", f"www.{host}", host)
    say(f"an alias www.{host}: first the plan, nothing written")
    nuv(*alias, "--dry-run")
    say("then the same command carries it out")
    nuv(*alias)

    say("the zone now")
    nuv("dns", "list", domain)


def run_local() -> None:
    from nuv.cli.standin import ROBOT_TOKEN, environment
    from nuv.testing import StandIn

    with StandIn.start() as standin, tempfile.TemporaryDirectory(prefix="nuv-demo-") as state:
        standin.add_zone("example.com")
        robot_secret = "SEC" + secrets.token_hex(32)
        standin.add_robot(ROBOT_TOKEN, robot_secret)
        variables = environment(standin.info, robot_secret)
        say("stand-ins of Cloudflare and a DingTalk robot are up; `nuv standin` prints these variables:")
        for name, value in variables.items():
            print(f"  export {name}={shlex.quote(value)}", flush=True)
        # The failure-notification state of --notify goes to a scratch directory.
        env = {**os.environ, **variables, "XDG_STATE_HOME": state}
        for name in (
            "http_proxy",
            "HTTPS_PROXY",
            "all_proxy",
            "ALL_PROXY",
            "no_proxy",
            "NO_PROXY",
            "SSL_CERT_FILE",
            "CLOUDFLARE_API_URL",
            "CLOUDFLARE_API_TOKEN_FILE",
            "NUV_TRACE",
        ):
            env.pop(name, None)
        seen = 0

        def show_message() -> None:
            nonlocal seen
            messages = standin.messages(ROBOT_TOKEN)
            for message in messages[seen:]:
                say("the robot received:")
                for line in message["body"]["markdown"]["text"].splitlines():
                    print(f"  | {line}", flush=True)
            seen = len(messages)

        main_job(command_runner(env), "example.com", "home.example.com", True, show_message)
        pings = ", ".join(p["kind"] for p in standin.pings())
        say(f"the robot received {len(standin.messages(ROBOT_TOKEN))} message(s) in all, the monitor {pings}; done")


def run_live(domain: str) -> None:
    if not (os.environ.get("CLOUDFLARE_API_TOKEN") or os.environ.get("CLOUDFLARE_API_TOKEN_FILE")):
        raise SystemExit("--live needs CLOUDFLARE_API_TOKEN (or CLOUDFLARE_API_TOKEN_FILE) in the environment")
    notify = bool(os.environ.get("DINGTALK_TOKEN") and os.environ.get("DINGTALK_SECRET"))
    host = f"nuv-demo-{secrets.token_hex(3)}.{domain}"
    with tempfile.TemporaryDirectory(prefix="nuv-demo-") as state:
        nuv = command_runner({**os.environ, "XDG_STATE_HOME": state})
        try:
            main_job(nuv, domain, host, notify, None)
        finally:
            say("removing the demo's records")
            nuv("dns", "delete", domain, "CNAME", f"www.{host}", host)
            nuv("dns", "delete", domain, "A", host, NEW_V4)
            nuv("dns", "delete", domain, "AAAA", host, V6)
    say("done")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m nuv.demo", description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--live", metavar="DOMAIN", help="run against the real Cloudflare API on this zone")
    args = parser.parse_args(argv)
    if args.live:
        run_live(args.live)
    else:
        run_local()


if __name__ == "__main__":
    main()
