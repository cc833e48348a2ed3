#pragma once
// Every handler of the bridge table, from the areas that own them.

#include "bridge/web_requests.h"
#include "bridge/window_handlers.h"
#include "documents/folder_watcher.h"
#include "documents/upload.h"
