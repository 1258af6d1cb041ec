#version 330
uniform sampler2D u_texture;
uniform sampler2D u_gamma;
varying vec4 texCoord0;
varying vec3 v_param;

uint func(vec3 co){
    return uint(fract(sin(dot(co ,vec3(17.1684, 94.3498, 124.9547))) * 68431.4621) * 255.);
}

uvec3 rol(uvec3 value, int shift) {
    return (value << shift) | (value >> (8 - shift));
}

const uvec3 m = uvec3(0xff);

void main()
{
	uvec3 t = uvec3(texture2D(u_texture, vec2(texCoord0)).rgb * 0xff) & m;
	uvec3 g = uvec3(texture2D(u_gamma, vec2(texCoord0)).rgb * 0xff) & m;
	int s = int(mod(func(v_param), 8));
	t = rol(t, s);
	vec3 c = vec3((t ^ g) & m) / 0xff;
	gl_FragColor = vec4(c, 1.);
}