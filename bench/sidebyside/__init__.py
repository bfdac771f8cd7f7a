"""The side-by-side benchmark: tolva.exe against wine xcopy, wine cmd /c copy and cp."""
