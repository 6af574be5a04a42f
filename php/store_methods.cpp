// Methods of QarbinStore.
#include "php/php_qarbin.h"

const zend_function_entry qarbin_store_methods[] = {
    PHP_FE_END,
};
