#pragma once

// How a message is shown: the edit rules decide it, the window's prompts show it.
enum class MessageKind { Information, Warning, Critical };
