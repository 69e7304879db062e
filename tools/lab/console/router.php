<?php
// Serves the console page for every path, so that it also stands in for the web
// application at the address the agent opens ("/velnaro/?ActionCode=OPEN&...").
// Each page served is logged (php -S: on standard error).
error_log('console: ' . $_SERVER['REQUEST_URI']);
header('Content-Type: text/html; charset=utf-8');
header('Cache-Control: no-store');
readfile(__DIR__ . '/index.html');
