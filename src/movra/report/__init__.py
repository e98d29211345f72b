"""HTML of movra's results: notebook fragments (``display``) and self-contained reports
(``documents``), built from the numbers the computing side hands over (``html`` holds the
pieces: escaping, tables, embedded figures, the page)."""
