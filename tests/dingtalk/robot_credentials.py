"""The robot most DingTalk tests talk to. A module of its own, not conftest:
several test folders have a conftest, so `from conftest import` would pick
whichever was imported first."""

TOKEN = "robot-token-0123456789abcdef"
SECRET = "SEC" + "5f3a9c" * 10 + "d1e2"
