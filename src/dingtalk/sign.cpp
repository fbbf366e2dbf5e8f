#include "dingtalk/sign.h"
