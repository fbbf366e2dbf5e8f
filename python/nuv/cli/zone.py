"""``nuv zone set DOMAIN setting=value ...``: a zone's SSL mode and HTTPS settings."""

from __future__ import annotations

import argparse
from typing import Any

from ._context import EXIT_OK, Context, cloudflare_options

# Command-line name -> (the service's setting id, the library method, allowed values).
SETTINGS = {
    "ssl": ("ssl", "change_ssl_model", ("off", "flexible", "full", "strict")),
    "always-use-https": ("always_use_https", "change_always_use_https", ("on", "off")),
    "automatic-https-rewrites": ("automatic_https_rewrites", "change_automatic_https_rewrites", ("on", "off")),
}


def _assignment(text: str) -> tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or name not in SETTINGS:
        known = ", ".join(f"{n}={'|'.join(SETTINGS[n][2])}" for n in SETTINGS)
        raise argparse.ArgumentTypeError(f"expected one of {known}; got {text!r}")
    if value not in SETTINGS[name][2]:
        raise argparse.ArgumentTypeError(f"{name} must be one of {', '.join(SETTINGS[name][2])}; got {value!r}")
    return name, value


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser("zone", help="change a zone's settings", description="A zone's settings.")
    verbs = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    change = verbs.add_parser(
        "set",
        parents=[common, cloudflare_options()],
        help="set ssl, always-use-https, automatic-https-rewrites",
        description="Set zone settings; a setting that already has the value is not written.",
    )
    change.add_argument("domain", metavar="DOMAIN")
    change.add_argument(
        "settings",
        metavar="SETTING=VALUE",
        nargs="+",
        type=_assignment,
        help="ssl=off|flexible|full|strict, always-use-https=on|off, automatic-https-rewrites=on|off",
    )
    change.set_defaults(run=run_set)


def run_set(context: Context) -> int:
    domain = context.args.domain
    cf = context.cloudflare()
    keywords = context.zone_keywords(domain)
    report = []
    for name, value in dict(context.args.settings).items():
        setting_id, method, _ = SETTINGS[name]
        current = cf.get_zone_setting(setting_id, **keywords).raise_for_status().result
        old = current.get("value") if isinstance(current, dict) else None
        if old == value:
            context.out.say(f"{name}: {value} (unchanged)")
        else:
            getattr(cf, method)(value, **keywords).raise_for_status()
            context.out.report(f"{name}: {old} -> {value}")
        report.append({"setting": name, "old": old, "new": value, "changed": old != value})
    context.out.document({"settings": report})
    return EXIT_OK
