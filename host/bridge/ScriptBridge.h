// Connects the pages to the device library: the `app` object in every page, the device
// requests and their replies, and the console log.
#pragma once

#include <string>

class BrowserClient;
class EventLoop;

void AttachScriptBridge(BrowserClient& client, EventLoop& loop,
                        const std::string& documentsDirectory);
