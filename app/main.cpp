#include "app/console.h"
#include "core/core_module.h"
#include "geom/geom_module.h"
#include "image/image_module.h"

int main()
{
    Core::CoreInit();
    Geom::GeomInit();
    Image::ImageInit();

    App::Print("Ketra v1.9.3, ambient-occlusion lightmap baker\n");

    Image::ImageShutdown();
    Geom::GeomShutdown();
    Core::CoreShutdown();
    return 0;
}
