from nuv import Cloudflare as Cloudflare
from nuv import DingTalk as DingTalk
from nuv import DingTalkError as DingTalkError
from nuv import DingTalkReply as DingTalkReply
from nuv import get_trace as get_trace
from nuv import set_trace as set_trace
