<?php
// Router for PHP's built-in server: the upload path of the telephone system's server,
// plus a moved copy of it that answers 307 and a path that redirects to itself forever
// (redirect tests).
$path = parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH);
$query = $_SERVER['QUERY_STRING'] ?? '';
if ($path === '/velnaro/service/ds_phone/upload.php') {
    require __DIR__ . '/upload.php';
    return true;
}
if ($path === '/velnaro/service/ds_phone/moved.php') {
    http_response_code(307);
    header('Location: /velnaro/service/ds_phone/upload.php' . ($query === '' ? '' : "?$query"));
    return true;
}
if ($path === '/velnaro/service/ds_phone/loop.php') {
    http_response_code(307);
    header('Location: /velnaro/service/ds_phone/loop.php' . ($query === '' ? '' : "?$query"));
    return true;
}
http_response_code(404);
echo "not found";
return true;
