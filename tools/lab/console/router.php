<?php
// Serves the console page for every path, so that it also stands in for the web
// application at the address the agent opens ("/velnaro/?ActionCode=OPEN&...").
header('Content-Type: text/html; charset=utf-8');
header('Cache-Control: no-store');
readfile(__DIR__ . '/index.html');
