from nuv import Cloudflare as Cloudflare
from nuv import DingTalk as DingTalk
from nuv import DingTalkError as DingTalkError
from nuv import DingTalkReply as DingTalkReply
