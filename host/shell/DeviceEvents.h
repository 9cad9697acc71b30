// The device library's event callback. The library calls it from any of its threads with a
// script text that is valid only during the call; the host copies it and hands it to
// whatever target is set (the loop that runs it in the listening pages). Before a target
// exists, and after it is cleared, events are dropped.
#pragma once

#include <functional>
#include <string>

void OnDeviceScript(const char* script);

void SetDeviceScriptTarget(std::function<void(std::string script)> target);
void ClearDeviceScriptTarget();
