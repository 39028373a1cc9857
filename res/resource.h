// Resource identifiers shared by the resource script and the code.
#pragma once
#define ZORVANE_VERSION_INFO 1
