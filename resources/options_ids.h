// Identifiers of the options dialog and its list.
#pragma once
