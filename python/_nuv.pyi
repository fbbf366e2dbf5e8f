from nuv import Cloudflare as Cloudflare, DingTalk as DingTalk, get_trace as get_trace, set_trace as set_trace
