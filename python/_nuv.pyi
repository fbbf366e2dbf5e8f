from nuv import Cloudflare as Cloudflare, DingTalk as DingTalk
