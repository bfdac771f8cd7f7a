// Identifiers of the main window, About box, task menu, tray menu and toolbar.
#pragma once
